// CBookDlg: "Chapters and Tags". Shows the book plan the next join writes (tags, cover,
// chapters, the output's name) and lets the user change it. Every number in it comes from the
// engine's planning functions; the dialog only shows the plan and hands edits to them. OK
// gives the edits back (book-level ones and each row's chapter marks), Cancel drops them.
#pragma once

#include <QDialog>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/book_plan.h"
#include "join/book_edits.h"
#include "settings/app_settings.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace velmora {

class CBookDlg : public QDialog {
    Q_OBJECT
public:
    // The chapter table's columns.
    enum Column { kColNumber = 0, kColStart, kColLength, kColTitle };
    // The chapter sources in the order of the source box.
    static constexpr int32_t kSources[] = {kChaptersPerFile, kChaptersPerTitle, kChaptersKeep, kChaptersFromFile,
                                           kChaptersNone};

    CBookDlg(const std::vector<JoinRow>& rows, const BookEdits& edits, const AppSettings& settings,
             QWidget* parent = nullptr);
    ~CBookDlg() override;

    // After OK: the edits of the book, and the marks of each row given (in their order; none:
    // the row follows the plan's default).
    const BookEdits& edits() const { return edits_; }
    const std::vector<std::optional<std::vector<ChapterMark>>>& rowMarks() const { return rowMarks_; }
    // The plan as it stands in the dialog.
    const BookPlan& plan() const { return plan_; }

    // "H:MM:SS.mmm".
    static QString FormatMs(uint64_t ms);

    void accept() override;

private:
    void BuildWidgets();
    void LoadFields();
    void RefreshChapters(int keepRow);
    void UpdateChapterButtons();
    void UpdateOutputName();
    void UpdateCoverPreview();
    void OnSourceActivated(int index);
    bool ChooseChaptersFile();
    void OnTitleEdited(QTreeWidgetItem* item, int column);
    void MergeCurrent();
    void SplitCurrent();
    void ResetChapters();
    void BrowseCover();
    // The input at whose start the chapter of `row` can be split, or -1.
    int SplitInputOf(int row) const;
    int CurrentChapterRow() const;
    int SourceIndexOf(int32_t source) const;
    // The picture the join takes from input `input` (-1: the first that has one).
    const std::vector<uint8_t>& InputCover(int input);

    std::vector<CFileToBeJoin> files_;
    AppSettings settings_;
    BookEdits edits_;
    std::vector<std::optional<std::vector<ChapterMark>>> rowMarks_;
    BookPlan defaults_;                               // nothing edited, for telling edits apart
    std::vector<std::vector<ChapterMark>> defaultMarks_;  // the source's own marks of each input
    BookPlan plan_;
    std::vector<PlannedChapter> shown_;
    int32_t source_ = kChaptersPerFile;
    std::string chaptersFile_;
    std::string plainName_;
    std::map<int, std::vector<uint8_t>> inputCovers_;
    std::set<int> tooLarge_;

    QLineEdit* title_ = nullptr;
    QLineEdit* artist_ = nullptr;
    QLineEdit* albumArtist_ = nullptr;
    QLineEdit* album_ = nullptr;
    QLineEdit* year_ = nullptr;
    QLineEdit* genre_ = nullptr;
    QLineEdit* comment_ = nullptr;
    QRadioButton* coverFromInput_ = nullptr;
    QComboBox* coverInput_ = nullptr;
    QRadioButton* coverFromImage_ = nullptr;
    QPushButton* browse_ = nullptr;
    QLabel* imageName_ = nullptr;
    QRadioButton* coverNone_ = nullptr;
    QLabel* preview_ = nullptr;
    QComboBox* sourceBox_ = nullptr;
    QTreeWidget* table_ = nullptr;
    QPushButton* merge_ = nullptr;
    QPushButton* split_ = nullptr;
    QPushButton* reset_ = nullptr;
    QLineEdit* name_ = nullptr;
    QCheckBox* nameFromTitle_ = nullptr;
    QLabel* whereTo_ = nullptr;
    std::vector<uint8_t> image_;
    std::string imageMime_;
    std::string imagePath_;
};

}  // namespace velmora
