// CReportCtrl: the report list that shows the file list. A QTreeView over a row model of its
// own (cells, images and a ReportItemInfo per row), with a column-state table that hides
// columns without deleting them, a sort list of up to six keys driven by header clicks and
// sorted by the control itself, row tints, a header menu, hint texts on an empty list and an
// in-place editor.
#pragma once

#include "controls/report_item_info.h"
#include "controls/report_model.h"

#include <QEvent>
#include <QHeaderView>
#include <QPointer>
#include <QTreeView>

#include <cstdint>
#include <functional>
#include <vector>

class QLineEdit;
class QMenu;

namespace velmora {

class CReportCtrl;
struct FileItemInfo;

// Posted to the notification target after every SortRows.
inline constexpr QEvent::Type UM_REPORT_SORTED = static_cast<QEvent::Type>(0xA711);
// Sent to the notification target when an edit changed a cell's text.
inline constexpr QEvent::Type UM_REPORT_RENAMED = static_cast<QEvent::Type>(0xA712);

struct ReportEditCell {
    int32_t row = -1;
    int32_t column = -1;
};

class ReportSortedEvent : public QEvent {
public:
    ReportSortedEvent(int column, bool ascending) : QEvent(UM_REPORT_SORTED), column(column), ascending(ascending) {}
    const int column;       // primary sort column
    const bool ascending;
};

class ReportRenamedEvent : public QEvent {
public:
    ReportRenamedEvent(const ReportEditCell* cell, CReportCtrl* list) : QEvent(UM_REPORT_RENAMED), cell(cell), list(list) {}
    const ReportEditCell* cell;  // still holds the edited cell while the handler runs
    CReportCtrl* list;
};

struct ColumnSortInfo {
    int32_t column = 0;
    int32_t ascending = 1;  // 1 ascending, 0 descending
    bool operator==(const ColumnSortInfo&) const = default;
};
static_assert(sizeof(ColumnSortInfo) == 8);

struct ColumnStateInfo {
    uint8_t visible = 1;
    int32_t restoreWidth = 0;
    int32_t restoreBound = -1;
};

// The header: sort marks drawn on the side the item's format asks for, and the context
// menu handed to the list.
class CReportHeader : public QHeaderView {
    Q_OBJECT
public:
    explicit CReportHeader(CReportCtrl* list);

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    CReportCtrl* list_;
};

class CReportCtrl : public QTreeView {
    Q_OBJECT
public:
    static constexpr int kMaxSortKeys = 6;

    explicit CReportCtrl(QWidget* parent = nullptr);
    ~CReportCtrl() override;

    // The window that receives UM_REPORT_SORTED and UM_REPORT_RENAMED.
    void SetNotifyTarget(QObject* target) { notifyTarget_ = target; }
    QObject* NotifyTarget() const { return notifyTarget_; }
    CReportModel* Model() const { return model_; }
    CReportHeader* Header() const { return header_; }

    // ---- Rows ----
    int GetItemCount() const { return model_->RowCount(); }
    // Inserts a row (an index past the end appends) with `text` in column 0 and `image` on it,
    // wraps `userData` in a new ReportItemInfo and applies the state flags. Returns the index,
    // or -1 for a negative index.
    int InsertItemEx(int index, const QString& text, void* userData = nullptr, int image = -1, unsigned state = 0);
    void DeleteItemEx(int row, bool selectNext = false);
    int DeleteItemsByState(unsigned mask);
    // Deletes the rows at `rows` (any order; repeats and rows outside the list are skipped)
    // with one removal per contiguous run. Returns how many went.
    int DeleteItems(std::vector<int> rows);
    int MoveItem(int row, int target);
    int MoveItemBy(int row, int offset);
    int MoveItemToTop(int row);
    int MoveItemToBottom(int row);
    void SetItemTextEx(int row, int column, const QString& text);
    bool SetItemNumber(int row, int column, double value, int precision);
    QString GetItemText(int row, int column) const;
    void SetItemImage(int row, int column, int image);
    int GetItemImage(int row, int column) const;
    void* GetItemUserData(int row) const;
    bool SetItemUserData(int row, void* userData);
    ReportItemInfo* GetItemInfo(int row) const;
    // The row whose user data is `userData`, or -1.
    int FindItemByUserData(const void* userData) const;
    unsigned GetItemStateFlags(int row) const;
    bool SetItemStateFlags(int row, unsigned flags);
    int CountItemsByState(unsigned mask) const;
    int FindNextItemByState(unsigned mask, int start = -1) const;
    // Every row whose state matches `mask`, ascending, found in one pass.
    std::vector<int> GetItemsByState(unsigned mask) const;
    int ApplyStateFlags(unsigned mask, unsigned flags);
    void InvertStates(int which);
    // A row outside the list means every row, a column outside the header every column, an
    // invalid colour the system window colour.
    void SetCellBackColor(int row, int column, const QColor& color, bool repaint);
    QRgb GetCellBackColor(int row, int column) const;
    QRgb GetCellTextColor(int row, int column) const;
    void SetImageList(const QList<QIcon>& images) { model_->SetImageList(images); }

    // ---- Columns ----
    // alignment: 0 left, 1 right, 2 centre.
    int InsertColumnEx(int column, const QString& heading, int alignment, int width);
    bool DeleteColumn(int column);
    int GetColumnCount() const { return model_->ColumnCount(); }
    QString GetColumnHeading(int column) const;
    int ShowColumn(int column, bool show);
    bool IsColumnVisible(int column) const;
    int GetColumnRestoreWidth(int column) const;
    const std::vector<ColumnStateInfo>& ColumnStates() const { return columnStates_; }
    // The width hook: a hidden column keeps width 0 whatever asks (false then).
    virtual bool SetColumnWidth(int column, int width);
    int GetColumnWidth(int column) const;
    int AutoSizeColumn(int column = -1, bool useHeader = false);
    int EnsureColumnVisible(int column, bool partialEnough);
    bool SetHeaderImage(int column, int image, bool imageOnLeft);
    int GetHeaderImage(int column) const;
    unsigned GetHeaderItemFormat(int column) const;
    void SetHeaderImageList(const QList<QIcon>& images) { model_->SetHeaderImageList(images); }
    bool SetHeaderClickable(bool on);
    int GetColumnEditAlign(int column) const;
    void SetExtendedStyleEx(unsigned bits);
    unsigned GetExtendedStyle() const { return extendedStyle_; }
    // Display order: column index at each display position.
    std::vector<int> GetColumnOrder() const;
    bool HasHeader() const;

    // Sort marks for images 0 (none), 1 (ascending) and 2 (descending).
    static QList<QIcon> SortMarkIcons();

    // ---- Sorting ----
    const std::vector<ColumnSortInfo>& GetSortList() const { return sortList_; }
    void SetSortList(const std::vector<ColumnSortInfo>& list);
    // Header click on column c (the reflected column-click notification).
    virtual void OnColumnClick(int column);
    void SortRows(int first, int last, bool highlight);
    void RecolorRows(bool highlight);
    virtual int CompareRows(int a, int b, int column, int depth) const;
    // Text columns compare runs of digits by their value (NaturalCompare) when set, in plain
    // byte order otherwise (the initial state).
    void SetNaturalTextOrder(bool natural) { naturalTextOrder_ = natural; }
    bool NaturalTextOrder() const { return naturalTextOrder_; }

    // ---- Stored layout ("FileList": "Column" and "SortEx") ----
    QByteArray ColumnStateBlob() const;
    QByteArray SortListBlob() const;
    // The sort list of a stored block: whole 8-byte records only, unknown columns and repeats
    // dropped, at most six; column 0 ascending when nothing usable remains.
    static std::vector<ColumnSortInfo> ParseSortListBlob(const QByteArray& blob, int columnCount);
    struct StoredColumn {
        bool visible;
        int width;
    };
    // The stored records of the first `columnCount` columns; a column without a record gets
    // nothing (the caller keeps its default).
    static std::vector<StoredColumn> ParseColumnBlob(const QByteArray& blob, int columnCount);

    // ---- Header menu, hints, editing ----
    void EnableHints(bool on);
    bool HintsEnabled() const { return hints_; }
    // The hint for a tick count: (ticks / 6000) mod 10.
    static int HintNumber(uint32_t ticks);
    static QString HintText(int number);
    // Milliseconds since the system started (32 bits, wrapping); tests may replace the source.
    static uint32_t TickCount();
    static void SetTickSource(std::function<uint32_t()> source);
    // The hint of the last paint of an empty list, or -1 when none was painted.
    int LastPaintedHint() const { return lastPaintedHint_; }

    void EnableEdit(bool on);
    bool IsEditEnabled() const { return editEnabled_; }
    bool AddEditableColumn(int column);
    bool BeginEdit(int row, int column);
    bool EndEdit(bool save);
    bool IsEditOpen() const;
    const ReportEditCell& EditCell() const { return editCell_; }
    QLineEdit* Editor() const { return editor_; }
    void SetPreEditText(const QString& text) { preEditText_ = text; }
    const QString& PreEditText() const { return preEditText_; }
    int ApplyExplorerTheme();
    // Long texts of `column` lose their middle rather than their end ("/home/…/Disc 2/").
    void SetColumnElidesInMiddle(int column);
    bool ColumnElidesInMiddle(int column) const;

    // The header's menu of columns (ids are column indices); the caller owns it.
    QMenu* BuildHeaderMenu();
    virtual void OnContextMenu(QContextMenuEvent* event, bool fromHeader);

protected:
    // The key-down handler: Ctrl + keypad plus fits every column.
    virtual void OnKeyDown(QKeyEvent* event);
    // The divider double-click, begin-track and end-drag hooks of the header.
    virtual void OnDividerDoubleClick(int column);
    virtual bool OnBeginTrack(int column);
    virtual void OnEndDrag(int column, int oldPosition, int newPosition);

    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    friend class CReportHeader;
    bool ValidRow(int row) const { return row >= 0 && row < GetItemCount(); }
    // The model index of a cell; held appends are announced first, so every row has one.
    QModelIndex CellIndex(int row, int column) const {
        model_->AnnounceRows();
        return model_->index(row, column);
    }
    bool ValidColumn(int column) const { return column >= 0 && column < GetColumnCount(); }
    QRgb WindowColor() const;
    QRgb WindowTextColor() const;
    void ApplyOrder(const std::vector<int>& order);
    bool RowMatches(unsigned flags, unsigned mask) const;
    std::vector<char> SelectedRows() const;
    unsigned FlagsOf(int row, const std::vector<char>& selected) const;
    // The check and focus bits of a row (no selection bits).
    unsigned CheckAndFocusFlags(int row) const;
    void SortRowRange(int first, int last, int column, bool ascending);
    void QuickSort(std::vector<int>& rows, int lo, int hi, int column, bool ascending) const;
    const QByteArray& TextKey(int row, int column) const;
    // Key handling shared by the list and the editor; true when the key is consumed.
    bool PreTranslateKey(QKeyEvent* event, bool dryRun);
    void HandleMouseButton(QMouseEvent* event, bool doubleClick);
    void PaintHint();
    QRect EditorRect(int row, int column) const;
    int DividerAt(int x) const;

    CReportModel* model_;
    CReportHeader* header_;
    QPointer<QObject> notifyTarget_;
    std::vector<ColumnSortInfo> sortList_;
    std::vector<ColumnStateInfo> columnStates_;
    std::vector<int> editableColumns_;
    unsigned extendedStyle_ = 0x22;
    bool hints_ = false;
    bool rowsTinted_ = false;  // the last recolouring tinted the sort column
    QRgb paletteText_ = 0;     // the palette's colours the rows were given, replaced on a change
    QRgb paletteBase_ = 0;
    std::vector<int> middleElided_;
    bool naturalTextOrder_ = false;
    int lastPaintedHint_ = -1;

    QLineEdit* editor_ = nullptr;  // created on first use
    bool editEnabled_ = false;
    ReportEditCell editCell_;
    int editorAlign_ = 0;
    QString preEditText_;
    int editGuard_ = 0;   // while BeginEdit runs, scrolling does not close the edit
    bool applyingOrder_ = false;
    mutable std::vector<std::vector<QByteArray>> textKeys_;  // per column, filled during a sort
    mutable QByteArray scratchKey_;
    std::vector<const FileItemInfo*> sortRecords_;  // row records, filled during a sort
};

// Without a theme library there is nothing to apply: the window keeps its look (1).
int ApplyWindowTheme(QWidget* window, const char* classList, const char* subAppName, const char* subIdList);

}  // namespace velmora
