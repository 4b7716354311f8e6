#include "app/book_dlg.h"

#include <QBuffer>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "engine/output_tag.h"
#include "filelist/file_item_info.h"

namespace velmora {

namespace {

constexpr int kPreviewSide = 150;

// Only the title is edited in place, whichever cell of the row F2 or a double click meets.
class ChapterTable : public QTreeWidget {
public:
    using QTreeWidget::QTreeWidget;

protected:
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override {
        if (!index.isValid()) return QTreeWidget::edit(index, trigger, event);
        return QTreeWidget::edit(index.siblingAtColumn(CBookDlg::kColTitle), trigger, event);
    }
};

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

QString BaseName(const std::string& path) { return QFileInfo(Q(path)).fileName(); }

}  // namespace

QString CBookDlg::FormatMs(uint64_t ms) {
    const uint64_t h = ms / 3600000, m = ms / 60000 % 60, s = ms / 1000 % 60, f = ms % 1000;
    return QStringLiteral("%1:%2:%3.%4")
        .arg(h)
        .arg(m, 2, 10, QLatin1Char('0'))
        .arg(s, 2, 10, QLatin1Char('0'))
        .arg(f, 3, 10, QLatin1Char('0'));
}

CBookDlg::CBookDlg(const std::vector<JoinRow>& rows, const BookEdits& edits, const AppSettings& settings,
                   QWidget* parent)
    : QDialog(parent), settings_(settings), edits_(edits) {
    setObjectName(QStringLiteral("chaptersTagsDialog"));
    setWindowTitle(QStringLiteral("Chapters and Tags"));
    for (const JoinRow& r : rows) {
        files_.push_back(r.file);
        rowMarks_.push_back(r.info ? r.info->chapterMarks : std::nullopt);
    }
    source_ = ChapterSourceOf(edits_, settings_);
    chaptersFile_ = edits_.chaptersFile;
    plainName_ = edits_.outputName && !edits_.outputName->empty() ? *edits_.outputName : settings_.defaultFileName;
    image_ = edits_.coverImage;
    imageMime_ = edits_.coverMime;
    imagePath_ = edits_.coverImagePath;

    std::string error;
    if (!PlanDefaults(files_, edits_, settings_, defaults_, error)) defaults_ = BookPlan{};
    defaultMarks_ = defaults_.inputMarks;
    if (!PlanFromEdits(files_, rowMarks_, edits_, settings_, plan_, error)) plan_ = defaults_;

    BuildWidgets();
    LoadFields();
    RefreshChapters(0);
    UpdateCoverPreview();
    UpdateOutputName();
}

CBookDlg::~CBookDlg() = default;

void CBookDlg::BuildWidgets() {
    // Created in the order Tab walks them.
    auto* tags = new QGroupBox(QStringLiteral("Tags"), this);
    auto* tagForm = new QFormLayout(tags);
    // Some styles keep fields at their hint width: tags are read best at the box's width.
    tagForm->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    auto addField = [&](QLineEdit*& edit, const char* label, const char* name) {
        edit = new QLineEdit(tags);
        edit->setObjectName(QString::fromLatin1(name));
        auto* l = new QLabel(QString::fromLatin1(label), tags);
        l->setBuddy(edit);
        tagForm->addRow(l, edit);
    };
    addField(title_, "&Title:", "title");
    addField(artist_, "&Artist:", "artist");
    addField(albumArtist_, "Album a&rtist:", "albumArtist");
    addField(album_, "Al&bum:", "album");
    addField(year_, "&Year:", "year");
    addField(genre_, "&Genre:", "genre");
    addField(comment_, "Co&mment:", "comment");

    auto* cover = new QGroupBox(QStringLiteral("Cover"), this);
    auto* coverLayout = new QGridLayout(cover);
    coverFromInput_ = new QRadioButton(QStringLiteral("From an &input:"), cover);
    coverFromInput_->setObjectName(QStringLiteral("coverFromInput"));
    coverInput_ = new QComboBox(cover);
    coverInput_->setObjectName(QStringLiteral("coverInput"));
    coverInput_->addItem(QStringLiteral("The first that has one"), -1);
    for (size_t i = 0; i < files_.size(); ++i)
        coverInput_->addItem(QStringLiteral("%1. %2").arg(i + 1).arg(BaseName(files_[i].path)), int(i));
    coverInput_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    coverInput_->setMinimumContentsLength(16);
    coverFromImage_ = new QRadioButton(QStringLiteral("From an image fi&le:"), cover);
    coverFromImage_->setObjectName(QStringLiteral("coverFromImage"));
    browse_ = new QPushButton(QStringLiteral("Bro&wse..."), cover);
    browse_->setObjectName(QStringLiteral("browseCover"));
    imageName_ = new QLabel(cover);
    imageName_->setObjectName(QStringLiteral("imageName"));
    imageName_->setTextInteractionFlags(Qt::NoTextInteraction);
    coverNone_ = new QRadioButton(QStringLiteral("No co&ver"), cover);
    coverNone_->setObjectName(QStringLiteral("coverNone"));
    auto* group = new QButtonGroup(cover);
    group->addButton(coverFromInput_);
    group->addButton(coverFromImage_);
    group->addButton(coverNone_);
    preview_ = new QLabel(cover);
    preview_->setObjectName(QStringLiteral("coverPreview"));
    preview_->setFixedSize(kPreviewSide, kPreviewSide);
    preview_->setAlignment(Qt::AlignCenter);
    preview_->setWordWrap(true);
    preview_->setFrameShape(QFrame::StyledPanel);
    auto* imageRow = new QHBoxLayout;
    imageRow->addWidget(browse_);
    imageRow->addWidget(imageName_, 1);
    coverLayout->addWidget(coverFromInput_, 0, 0);
    coverLayout->addWidget(coverInput_, 1, 0);
    coverLayout->addWidget(coverFromImage_, 2, 0);
    coverLayout->addLayout(imageRow, 3, 0);
    coverLayout->addWidget(coverNone_, 4, 0);
    coverLayout->setRowStretch(5, 1);
    coverLayout->addWidget(preview_, 0, 1, 6, 1, Qt::AlignTop | Qt::AlignRight);

    auto* chapters = new QGroupBox(QStringLiteral("Chapters"), this);
    auto* chapterLayout = new QVBoxLayout(chapters);
    auto* sourceRow = new QHBoxLayout;
    auto* sourceLabel = new QLabel(QStringLiteral("Chapter &source:"), chapters);
    sourceBox_ = new QComboBox(chapters);
    sourceBox_->setObjectName(QStringLiteral("chapterSource"));
    sourceBox_->addItem(QStringLiteral("One chapter per file"));
    sourceBox_->addItem(QStringLiteral("One chapter per run of equal titles"));
    sourceBox_->addItem(QStringLiteral("Keep the files' own chapters"));
    sourceBox_->addItem(QStringLiteral("From a chapters file..."));
    sourceBox_->addItem(QStringLiteral("No chapters"));
    sourceLabel->setBuddy(sourceBox_);
    sourceRow->addWidget(sourceLabel);
    sourceRow->addWidget(sourceBox_);
    sourceRow->addStretch(1);
    auto* tableLabel = new QLabel(QStringLiteral("C&hapters (F2 renames):"), chapters);
    table_ = new ChapterTable(chapters);
    table_->setObjectName(QStringLiteral("chapterTable"));
    tableLabel->setBuddy(table_);
    table_->setColumnCount(4);
    table_->setHeaderLabels({QStringLiteral("#"), QStringLiteral("Start"), QStringLiteral("Length"), QStringLiteral("Title")});
    table_->setRootIsDecorated(false);
    table_->setMinimumHeight(fontMetrics().height() * 5);
    table_->setUniformRowHeights(true);
    table_->setAllColumnsShowFocus(true);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    table_->header()->setStretchLastSection(true);
    table_->header()->setSectionResizeMode(kColNumber, QHeaderView::ResizeToContents);
    table_->header()->setSectionResizeMode(kColStart, QHeaderView::ResizeToContents);
    table_->header()->setSectionResizeMode(kColLength, QHeaderView::ResizeToContents);
    auto* buttons = new QHBoxLayout;
    merge_ = new QPushButton(QStringLiteral("Merge with &Next"), chapters);
    merge_->setObjectName(QStringLiteral("mergeWithNext"));
    split_ = new QPushButton(QStringLiteral("S&plit"), chapters);
    split_->setObjectName(QStringLiteral("split"));
    reset_ = new QPushButton(QStringLiteral("&Reset"), chapters);
    reset_->setObjectName(QStringLiteral("reset"));
    for (QPushButton* b : {merge_, split_, reset_}) b->setAutoDefault(false);
    browse_->setAutoDefault(false);
    buttons->addWidget(merge_);
    buttons->addWidget(split_);
    buttons->addWidget(reset_);
    buttons->addStretch(1);
    chapterLayout->addLayout(sourceRow);
    chapterLayout->addWidget(tableLabel);
    chapterLayout->addWidget(table_, 1);
    chapterLayout->addLayout(buttons);

    auto* output = new QGroupBox(QStringLiteral("Output file"), this);
    auto* outputLayout = new QGridLayout(output);
    auto* nameLabel = new QLabel(QStringLiteral("File &name:"), output);
    name_ = new QLineEdit(output);
    name_->setObjectName(QStringLiteral("outputName"));
    nameLabel->setBuddy(name_);
    nameFromTitle_ = new QCheckBox(QStringLiteral("Nam&e the file after the title"), output);
    nameFromTitle_->setObjectName(QStringLiteral("nameFromTitle"));
    whereTo_ = new QLabel(output);
    whereTo_->setObjectName(QStringLiteral("whereTo"));
    whereTo_->setWordWrap(true);
    outputLayout->addWidget(nameLabel, 0, 0);
    outputLayout->addWidget(name_, 0, 1);
    outputLayout->addWidget(nameFromTitle_, 0, 2);
    outputLayout->addWidget(whereTo_, 1, 1, 1, 2);
    outputLayout->setColumnStretch(1, 1);

    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(box, &QDialogButtonBox::accepted, this, &CBookDlg::accept);
    connect(box, &QDialogButtonBox::rejected, this, &CBookDlg::reject);

    auto* top = new QHBoxLayout;
    top->addWidget(tags, 3);
    top->addWidget(cover, 2);
    auto* main = new QVBoxLayout(this);
    main->addLayout(top);
    main->addWidget(chapters, 1);
    main->addWidget(output);
    main->addWidget(box);

    connect(coverFromInput_, &QRadioButton::toggled, this, [this] { UpdateCoverPreview(); });
    connect(coverFromImage_, &QRadioButton::toggled, this, [this] { UpdateCoverPreview(); });
    connect(coverNone_, &QRadioButton::toggled, this, [this] { UpdateCoverPreview(); });
    connect(coverInput_, &QComboBox::activated, this, [this] {
        coverFromInput_->setChecked(true);
        UpdateCoverPreview();
    });
    connect(browse_, &QPushButton::clicked, this, &CBookDlg::BrowseCover);
    connect(sourceBox_, &QComboBox::activated, this, &CBookDlg::OnSourceActivated);
    connect(table_, &QTreeWidget::itemChanged, this, &CBookDlg::OnTitleEdited);
    connect(table_, &QTreeWidget::currentItemChanged, this, [this] { UpdateChapterButtons(); });
    connect(merge_, &QPushButton::clicked, this, &CBookDlg::MergeCurrent);
    connect(split_, &QPushButton::clicked, this, &CBookDlg::SplitCurrent);
    connect(reset_, &QPushButton::clicked, this, &CBookDlg::ResetChapters);
    connect(title_, &QLineEdit::textChanged, this, [this] { UpdateOutputName(); });
    connect(nameFromTitle_, &QCheckBox::toggled, this, [this] { UpdateOutputName(); });
    connect(name_, &QLineEdit::textEdited, this, [this](const QString& text) { plainName_ = S(text); UpdateOutputName(); });

    // Wide enough for the titles of a book and a full path under the name; as tall as a dozen
    // chapters.
    QSize size = sizeHint().expandedTo(QSize(fontMetrics().averageCharWidth() * 120, fontMetrics().height() * 42));
    // Never taller or wider than the screen (large scale factors on small screens): the
    // chapter table gives up its rows first, the buttons stay in view.
    if (const QScreen* s = screen()) size = size.boundedTo(s->availableGeometry().size() * 9 / 10);
    resize(size.expandedTo(minimumSizeHint()));
}

void CBookDlg::LoadFields() {
    title_->setText(Q(plan_.tags.title));
    artist_->setText(Q(plan_.tags.artist));
    albumArtist_->setText(Q(plan_.tags.albumArtist));
    album_->setText(Q(plan_.tags.album));
    year_->setText(Q(plan_.tags.year));
    genre_->setText(Q(plan_.tags.genre));
    comment_->setText(Q(plan_.tags.comment));
    switch (plan_.coverSource) {
        case CoverSource::FirstInput:
            coverFromInput_->setChecked(true);
            coverInput_->setCurrentIndex(0);
            break;
        case CoverSource::Input:
            coverFromInput_->setChecked(true);
            coverInput_->setCurrentIndex(int(plan_.coverInput) + 1);
            break;
        case CoverSource::Image:
            coverFromImage_->setChecked(true);
            break;
        case CoverSource::None:
            coverNone_->setChecked(true);
            break;
    }
    imageName_->setText(imagePath_.empty() ? QStringLiteral("(none chosen)") : BaseName(imagePath_));
    sourceBox_->setCurrentIndex(SourceIndexOf(source_));
    nameFromTitle_->setChecked(edits_.nameFromTitle);
    name_->setText(Q(plainName_));
}

int CBookDlg::SourceIndexOf(int32_t source) const {
    for (int i = 0; i < int(std::size(kSources)); ++i)
        if (kSources[i] == source) return i;
    return 0;
}

void CBookDlg::RefreshChapters(int keepRow) {
    shown_ = PreviewChapters(plan_, files_);
    const QSignalBlocker block(table_);
    table_->clear();
    for (size_t i = 0; i < shown_.size(); ++i) {
        const Chapter& c = shown_[i].chapter;
        auto* item = new QTreeWidgetItem(table_);
        item->setText(kColNumber, QString::number(i + 1));
        item->setText(kColStart, FormatMs(c.startFrame));
        item->setText(kColLength, FormatMs(c.endFrame > c.startFrame ? c.endFrame - c.startFrame : 0));
        item->setText(kColTitle, Q(c.title));
        for (int col : {int(kColNumber), int(kColStart), int(kColLength)})
            item->setTextAlignment(col, Qt::AlignRight | Qt::AlignVCenter);
        item->setFlags(item->flags() | Qt::ItemIsEditable);
    }
    if (table_->topLevelItemCount() > 0) {
        const int row = std::clamp(keepRow, 0, table_->topLevelItemCount() - 1);
        table_->setCurrentItem(table_->topLevelItem(row));
    }
    UpdateChapterButtons();
}

int CBookDlg::CurrentChapterRow() const {
    QTreeWidgetItem* item = table_->currentItem();
    return item ? table_->indexOfTopLevelItem(item) : -1;
}

int CBookDlg::SplitInputOf(int row) const {
    if (row < 0) return -1;
    return SplitPoint(plan_, files_, size_t(row));
}

void CBookDlg::UpdateChapterButtons() {
    const int row = CurrentChapterRow();
    merge_->setEnabled(row >= 0 && size_t(row) + 1 < shown_.size());
    split_->setEnabled(SplitInputOf(row) >= 0);
    reset_->setEnabled(source_ != kChaptersNone);
}

void CBookDlg::OnTitleEdited(QTreeWidgetItem* item, int column) {
    if (column != kColTitle) return;
    const int row = table_->indexOfTopLevelItem(item);
    if (row < 0) return;
    SetChapterTitle(plan_, files_, size_t(row), S(item->text(kColTitle)));
    // What the plan holds now is what the join writes: show exactly that.
    const std::vector<PlannedChapter> now = PreviewChapters(plan_, files_);
    if (size_t(row) < now.size()) {
        const QSignalBlocker block(table_);
        item->setText(kColTitle, Q(now[row].chapter.title));
    }
    shown_ = now;
}

void CBookDlg::MergeCurrent() {
    const int row = CurrentChapterRow();
    if (row < 0 || !MergeWithNext(plan_, files_, size_t(row))) return;
    RefreshChapters(row);
    table_->setFocus();
}

void CBookDlg::SplitCurrent() {
    const int row = CurrentChapterRow();
    const int input = SplitInputOf(row);
    if (input < 0 || !SplitAtInput(plan_, files_, size_t(input))) return;
    RefreshChapters(row);
    table_->setFocus();
}

void CBookDlg::ResetChapters() {
    std::string error;
    BookPlan trial = plan_;
    if (source_ == kChaptersFromFile && chaptersFile_.empty()) {
        trial.outputMarks = edits_.fileMarks;
    } else if (!PlanBookChapters(files_, source_, chaptersFile_, trial, error)) {
        QMessageBox::warning(this, windowTitle(), Q(error));
        return;
    }
    plan_ = std::move(trial);
    RefreshChapters(CurrentChapterRow());
}

void CBookDlg::OnSourceActivated(int index) {
    const int32_t source = kSources[std::clamp(index, 0, int(std::size(kSources)) - 1)];
    if (source == kChaptersFromFile) {
        if (!ChooseChaptersFile()) {
            const QSignalBlocker block(sourceBox_);
            sourceBox_->setCurrentIndex(SourceIndexOf(source_));
        }
        return;
    }
    std::string error;
    BookPlan trial = plan_;
    if (!PlanBookChapters(files_, source, std::string(), trial, error)) {
        QMessageBox::warning(this, windowTitle(), Q(error));
        const QSignalBlocker block(sourceBox_);
        sourceBox_->setCurrentIndex(SourceIndexOf(source_));
        return;
    }
    source_ = source;
    plan_ = std::move(trial);
    defaultMarks_ = plan_.inputMarks;
    RefreshChapters(0);
}

bool CBookDlg::ChooseChaptersFile() {
    QFileDialog dialog(this, QStringLiteral("Chapters File"));
    dialog.setObjectName(QStringLiteral("chaptersFileDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters({QStringLiteral("Chapters files (*.txt *.cue)"), QStringLiteral("All files (*)")});
    if (!chaptersFile_.empty()) dialog.setDirectory(QFileInfo(Q(chaptersFile_)).absolutePath());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    const std::string path = S(dialog.selectedFiles().first());
    std::string error;
    BookPlan trial = plan_;
    if (!PlanBookChapters(files_, kChaptersFromFile, path, trial, error)) {
        QMessageBox::warning(this, windowTitle(), Q(error));
        return false;
    }
    source_ = kChaptersFromFile;
    chaptersFile_ = path;
    plan_ = std::move(trial);
    RefreshChapters(0);
    return true;
}

const std::vector<uint8_t>& CBookDlg::InputCover(int input) {
    auto it = inputCovers_.find(input);
    if (it != inputCovers_.end()) return it->second;
    // The engine reads the picture as the join would carry it: from one input, or the first
    // of all that has one.
    std::vector<CFileToBeJoin> from;
    if (input < 0) {
        from = files_;
    } else if (size_t(input) < files_.size()) {
        from.push_back(files_[input]);
    }
    OutputTagRequest request;
    request.tags = true;
    request.chapters = kChaptersNone;
    OutputTagContent content;
    if (!from.empty()) content = GatherOutputTag(from, std::string(), request);
    if (!content.coverLeftOut.empty()) tooLarge_.insert(input);
    return inputCovers_.emplace(input, std::move(content.cover)).first->second;
}

void CBookDlg::UpdateCoverPreview() {
    const std::vector<uint8_t>* bytes = nullptr;
    QString none;
    if (coverFromInput_->isChecked()) {
        const int input = coverInput_->currentData().toInt();
        bytes = &InputCover(input);
        none = tooLarge_.count(input) ? QStringLiteral("The picture is larger than 16 MiB: left out")
               : input < 0            ? QStringLiteral("No input has a picture")
                                      : QStringLiteral("This file has no picture");
    } else if (coverFromImage_->isChecked()) {
        bytes = &image_;
        none = QStringLiteral("No image chosen");
    } else {
        none = QStringLiteral("No cover");
    }
    QImage image;
    if (bytes && !bytes->empty()) image = QImage::fromData(bytes->data(), int(bytes->size()));
    if (image.isNull()) {
        preview_->setPixmap(QPixmap());
        preview_->setText(bytes && !bytes->empty() ? QStringLiteral("The picture cannot be shown") : none);
        return;
    }
    const qreal dpr = devicePixelRatioF();
    QPixmap pixmap = QPixmap::fromImage(image.scaled(QSize(kPreviewSide - 6, kPreviewSide - 6) * dpr, Qt::KeepAspectRatio,
                                                     Qt::SmoothTransformation));
    pixmap.setDevicePixelRatio(dpr);
    preview_->setPixmap(pixmap);
}

void CBookDlg::BrowseCover() {
    QFileDialog dialog(this, QStringLiteral("Cover Image"));
    dialog.setObjectName(QStringLiteral("coverFileDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("Images (*.jpg *.jpeg *.png)"));
    if (!imagePath_.empty()) dialog.setDirectory(QFileInfo(Q(imagePath_)).absolutePath());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    const QString path = dialog.selectedFiles().first();
    const QFileInfo info(path);
    // Refused by its size before it is read, as the join refuses a larger cover.
    if (info.size() > qint64(kMaxCoverBytes)) {
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("The picture \"%1\" is larger than 16 MiB and cannot be the cover.")
                                 .arg(info.fileName()));
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("Cannot read \"%1\": %2").arg(path, file.errorString()));
        return;
    }
    const QByteArray data = file.readAll();
    QBuffer buffer;
    buffer.setData(data);
    const QByteArray format = QImageReader(&buffer).format().toLower();
    if (format != "jpeg" && format != "png") {
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("\"%1\" is not a JPEG or PNG picture.").arg(info.fileName()));
        return;
    }
    image_.assign(data.begin(), data.end());
    imageMime_ = format == "png" ? "image/png" : "image/jpeg";
    imagePath_ = S(path);
    imageName_->setText(info.fileName());
    coverFromImage_->setChecked(true);
    UpdateCoverPreview();
}

void CBookDlg::UpdateOutputName() {
    const bool fromTitle = nameFromTitle_->isChecked();
    name_->setEnabled(!fromTitle);
    BookPlan titled;
    titled.tags.title = S(title_->text());
    BookEdits e;
    e.outputName = plainName_;
    e.nameFromTitle = fromTitle;
    const QString name = Q(OutputNameOf(titled, e, settings_));
    if (name_->text() != name) name_->setText(name);
    QString where = settings_.askOutputPath != 0
                        ? QStringLiteral("The join asks where to save it, with this name.")
                        : QStringLiteral("Saved as %1 (a number is added if it exists).")
                              .arg(Q(settings_.outputFolder) + name + QString::fromLatin1(OutputExtension(settings_)));
    // The Options turn the tags off: then the chapters alone are written, and saying so
    // here saves a surprise.
    if (settings_.outputTags == 0)
        where += QStringLiteral("\nTags are turned off in Options: the join writes the chapters only.");
    whereTo_->setText(where);
}

void CBookDlg::accept() {
    // An editor still open commits first, as leaving it would.
    if (QWidget* editor = table_->focusWidget(); editor && editor != table_ && table_->isAncestorOf(editor))
        table_->setFocus();

    auto field = [](const QLineEdit* edit, const std::string& carried) -> std::optional<std::string> {
        const std::string text = S(edit->text());
        if (text == carried) return std::nullopt;
        return text;
    };
    edits_.title = field(title_, defaults_.tags.title);
    edits_.artist = field(artist_, defaults_.tags.artist);
    edits_.albumArtist = field(albumArtist_, defaults_.tags.albumArtist);
    edits_.album = field(album_, defaults_.tags.album);
    edits_.year = field(year_, defaults_.tags.year);
    edits_.genre = field(genre_, defaults_.tags.genre);
    edits_.comment = field(comment_, defaults_.tags.comment);

    edits_.coverSource.reset();
    edits_.coverInputPath.clear();
    if (coverFromInput_->isChecked()) {
        const int input = coverInput_->currentData().toInt();
        if (input >= 0 && size_t(input) < files_.size()) {
            edits_.coverSource = CoverSource::Input;
            edits_.coverInputPath = files_[input].path;
        }
    } else if (coverFromImage_->isChecked() && !image_.empty()) {
        edits_.coverSource = CoverSource::Image;
    } else if (coverNone_->isChecked()) {
        edits_.coverSource = CoverSource::None;
    }
    // The chosen picture is kept even when another choice wins, to come back to.
    edits_.coverImage = image_;
    edits_.coverMime = imageMime_;
    edits_.coverImagePath = imagePath_;

    BookEdits plain;
    if (source_ == ChapterSourceOf(plain, settings_)) {
        edits_.chapterSource.reset();
    } else {
        edits_.chapterSource = source_;
    }
    edits_.chaptersFile = chaptersFile_;
    edits_.fileMarks = source_ == kChaptersFromFile ? plan_.outputMarks : std::vector<ChapterMark>();

    // A row keeps marks of its own only where they differ from what the source gives it, so
    // that rows without edits follow the plan's defaults wherever they move.
    for (size_t i = 0; i < rowMarks_.size(); ++i) {
        rowMarks_[i].reset();
        if (source_ == kChaptersFromFile || source_ == kChaptersNone || i >= plan_.inputMarks.size()) continue;
        const std::vector<ChapterMark> none;
        const std::vector<ChapterMark>& def = i < defaultMarks_.size() ? defaultMarks_[i] : none;
        if (plan_.inputMarks[i] != def) rowMarks_[i] = plan_.inputMarks[i];
    }

    edits_.nameFromTitle = nameFromTitle_->isChecked();
    if (plainName_ == settings_.defaultFileName || plainName_.empty()) {
        edits_.outputName.reset();
    } else {
        edits_.outputName = plainName_;
    }
    QDialog::accept();
}

}  // namespace velmora
