// Columns and sorting of the report list: header clicks, the sort list, the comparison
// rules, hidden columns, header drags and the stored layout.
#include "report_test_util.h"

#include "controls/report_layout.h"
#include "filelist/list_locked.h"
#include "settings/application_profile.h"
#include "support/mp3_fixtures.h"

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLineEdit>
#include <QPixmap>
#include <QScrollBar>

using namespace velmora;
using velmora::testing::AddFileListColumns;
using velmora::testing::NotifySpy;
using velmora::testing::Records;

namespace {

struct ShownList {
    CReportCtrl list;
    NotifySpy spy;
    Records records;
    ShownList() {
        AddFileListColumns(list);
        list.SetNotifyTarget(&spy);
        list.resize(2200, 400);
        list.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&list));
    }
    int AddRow(const QString& name, FileItemInfo info = {}) {
        FileItemInfo* record = records.Add();
        *record = info;
        return list.InsertItemEx(list.GetItemCount(), name, record);
    }
    QPoint SectionCentre(int column) const {
        QHeaderView* h = list.header();
        return QPoint(h->sectionViewportPosition(column) + h->sectionSize(column) / 2, h->height() / 2);
    }
    void ClickHeader(int column) {
        QTest::mouseClick(list.header()->viewport(), Qt::LeftButton, {}, SectionCentre(column));
        QCoreApplication::sendPostedEvents(&spy);
    }
    std::vector<QString> Column(int c) const {
        std::vector<QString> texts;
        for (int r = 0; r < list.GetItemCount(); ++r) texts.push_back(list.GetItemText(r, c));
        return texts;
    }
};

}  // namespace

TEST(ReportSort, ClicksSetDirectionAndKeepOldDirectionOfFormerKeys) {
    ShownList s;
    for (const char* name : {"b", "c", "a"}) s.AddRow(name);
    s.list.SetSortList({{4, 1}});
    s.ClickHeader(0);
    EXPECT_EQ(s.list.GetSortList().front(), (ColumnSortInfo{0, 1}));
    EXPECT_EQ(s.Column(0), (std::vector<QString>{"a", "b", "c"}));
    s.ClickHeader(0);
    EXPECT_EQ(s.list.GetSortList().front(), (ColumnSortInfo{0, 0}));
    EXPECT_EQ(s.Column(0), (std::vector<QString>{"c", "b", "a"}));
    s.ClickHeader(2);
    EXPECT_EQ(s.list.GetSortList().front(), (ColumnSortInfo{2, 1}));
    s.ClickHeader(0);  // back to column 0: its last direction, descending
    EXPECT_EQ(s.list.GetSortList().front(), (ColumnSortInfo{0, 0}));
    EXPECT_EQ(s.list.GetSortList(), (std::vector<ColumnSortInfo>{{0, 0}, {2, 1}, {4, 1}}));
    // Each sort was reported to the owner with the primary column and direction.
    ASSERT_EQ(s.spy.sorted.size(), 4u);
    EXPECT_EQ(s.spy.sorted[0], (ColumnSortInfo{0, 1}));
    EXPECT_EQ(s.spy.sorted[1], (ColumnSortInfo{0, 0}));
    EXPECT_EQ(s.spy.sorted[3], (ColumnSortInfo{0, 0}));
    EXPECT_FALSE(IsListLocked());
}

TEST(ReportSort, SevenClicksKeepTheSixMostRecent) {
    ShownList s;
    s.AddRow("x");
    s.list.SetSortList({});
    for (int c : {1, 2, 3, 4, 5, 6, 8}) s.ClickHeader(c);
    EXPECT_EQ(s.list.GetSortList(), (std::vector<ColumnSortInfo>{{8, 1}, {6, 1}, {5, 1}, {4, 1}, {3, 1}, {2, 1}}));
}

TEST(ReportSort, TiesBrokenByTheNextKeyInThePrimaryDirection) {
    ShownList s;
    auto row = [&](const char* name, const char* artist) { s.list.SetItemTextEx(s.AddRow(name), kColArtist, artist); };
    row("1", "Same");
    row("2", "Other");
    row("3", "Same");
    row("4", "Same");
    s.list.SetItemTextEx(0, kColTitle, "b");
    s.list.SetItemTextEx(2, kColTitle, "c");
    s.list.SetItemTextEx(3, kColTitle, "a");
    s.list.SetSortList({{kColArtist, 0}, {kColTitle, 1}});  // title ascending, but primary descending
    s.list.SortRows(0, s.list.GetItemCount() - 1, true);
    EXPECT_EQ(s.Column(kColArtist), (std::vector<QString>{"Same", "Same", "Same", "Other"}));
    EXPECT_EQ(s.Column(kColTitle), (std::vector<QString>{"c", "b", "a", ""}));
}

TEST(ReportSort, TrackSortsByNumberThenCountWithEmptyAsZero) {
    ShownList s;
    auto track = [&](const char* text, int number, int count) {
        FileItemInfo info;
        info.trackNumber = static_cast<uint8_t>(number);
        info.trackCount = static_cast<uint8_t>(count);
        const int r = s.AddRow(text, info);
        s.list.SetItemTextEx(r, kColTrack, text);
    };
    track("10/10", 10, 10);
    track("3/12", 3, 12);
    track("2/10", 2, 10);
    track("", 0, 0);
    track("3/5", 3, 5);
    s.list.SetSortList({{kColTrack, 1}});
    s.list.SortRows(0, s.list.GetItemCount() - 1, true);
    EXPECT_EQ(s.Column(kColTrack), (std::vector<QString>{"", "2/10", "3/5", "3/12", "10/10"}));
}

TEST(ReportSort, NumericAndByteOrderColumns) {
    ShownList s;
    auto add = [&](const char* name, int bitrate, const char* comment, double size) {
        FileItemInfo info;
        info.bitrate = bitrate;
        info.sizeMB = size;
        const int r = s.AddRow(name, info);
        s.list.SetItemTextEx(r, kColComment, QString::fromUtf8(comment));
        s.list.SetItemTextEx(r, kColBitrate, QString("%1 kbps").arg(bitrate));
    };
    add("x", 128, "a", 10.5);
    add("y", 96, "B", 2.25);
    add("z", 320, "\xc3\xa9", 100.0);
    s.list.SetSortList({{kColBitrate, 1}});
    s.list.SortRows(0, 2, true);
    EXPECT_EQ(s.Column(kColBitrate), (std::vector<QString>{"96 kbps", "128 kbps", "320 kbps"}));  // text order would put 128 first
    s.list.SetSortList({{kColComment, 1}});
    s.list.SortRows(0, 2, true);
    EXPECT_EQ(s.Column(kColComment), (std::vector<QString>{"B", "a", QString::fromUtf8("\xc3\xa9")}));
    s.list.SetSortList({{kColSize, 0}});
    s.list.SortRows(0, 2, true);
    EXPECT_EQ(s.Column(0), (std::vector<QString>{"z", "x", "y"}));
}

TEST(ReportSort, SortKeepsSelectionFocusColoursAndRecords) {
    ShownList s;
    for (const char* name : {"d", "a", "c", "b"}) s.AddRow(name);
    FileItemInfo* recordOfA = static_cast<FileItemInfo*>(s.list.GetItemUserData(1));
    s.list.SetItemStateFlags(1, kStateSelected | kStateFocused);
    s.list.SetSortList({{0, 1}});
    s.list.SortRows(0, 3, true);
    EXPECT_EQ(s.Column(0), (std::vector<QString>{"a", "b", "c", "d"}));
    EXPECT_EQ(s.list.GetItemUserData(0), recordOfA);
    EXPECT_EQ(s.list.GetItemStateFlags(0) & (kStateSelected | kStateFocused), unsigned(kStateSelected | kStateFocused));
    EXPECT_EQ(s.list.CountItemsByState(kStateSelected), 1);
    // Recoloured after the sort: sorted column tinted.
    EXPECT_EQ(s.list.GetCellBackColor(0, 0), qRgb(247, 248, 253));
    EXPECT_EQ(s.list.GetCellBackColor(1, 0), qRgb(235, 238, 250));
    EXPECT_EQ(s.list.GetCellBackColor(1, 1), qRgb(243, 245, 252));
}

TEST(ReportSort, ManyEqualRowsAndLargeRandomLists) {
    ShownList s;
    std::srand(7);
    for (int i = 0; i < 500; ++i) s.AddRow(QString::number(std::rand() % 20));
    s.list.SetSortList({{0, 1}});
    s.list.SortRows(0, 499, false);
    auto texts = s.Column(0);
    for (size_t i = 1; i < texts.size(); ++i) EXPECT_LE(texts[i - 1].toUtf8(), texts[i].toUtf8());
    s.list.SetSortList({{0, 0}});
    s.list.SortRows(0, 499, false);
    texts = s.Column(0);
    for (size_t i = 1; i < texts.size(); ++i) EXPECT_GE(texts[i - 1].toUtf8(), texts[i].toUtf8());
    // A partial range leaves the rest in place.
    const auto before = s.Column(0);
    s.list.SetSortList({{0, 1}});
    s.list.SortRows(10, 19, false);
    const auto after = s.Column(0);
    for (int i = 0; i < 500; ++i)
        if (i < 10 || i > 19) {
            EXPECT_EQ(before[i], after[i]);
        }
}

TEST(ReportSort, EmptyListStillReportsThePrimaryColumn) {
    ShownList s;
    s.list.SetSortList({{kColTitle, 0}});
    s.list.SortRows(0, s.list.GetItemCount() - 1, true);
    QCoreApplication::sendPostedEvents(&s.spy);
    ASSERT_EQ(s.spy.sorted.size(), 1u);
    EXPECT_EQ(s.spy.sorted[0], (ColumnSortInfo{kColTitle, 0}));
    EXPECT_FALSE(IsListLocked());
}

TEST(ReportColumns, HidingPutsTheColumnFirstWithWidthZeroAndShowingRestoresIt) {
    ShownList s;
    s.AddRow("a");
    ASSERT_EQ(s.list.GetColumnWidth(5), 110);
    EXPECT_EQ(s.list.ShowColumn(5, false), 1);
    EXPECT_EQ(s.list.GetColumnOrder()[0], 5);
    EXPECT_EQ(s.list.GetColumnOrder()[1], 0);
    EXPECT_EQ(s.list.GetColumnWidth(5), 0);
    EXPECT_EQ(s.list.header()->sectionSize(5), 0);
    EXPECT_FALSE(s.list.IsColumnVisible(5));
    EXPECT_EQ(s.list.GetColumnRestoreWidth(5), 110);
    EXPECT_EQ(s.list.ColumnStates()[5].restoreBound, 18);
    // The width hook refuses it, and a drag on the front edge cannot widen it.
    EXPECT_FALSE(s.list.SetColumnWidth(5, 80));
    QWidget* hv = s.list.header()->viewport();
    QTest::mousePress(hv, Qt::LeftButton, {}, QPoint(1, 5));
    QTest::mouseMove(hv, QPoint(60, 5));
    QTest::mouseRelease(hv, Qt::LeftButton, {}, QPoint(60, 5));
    EXPECT_EQ(s.list.header()->sectionSize(5), 0);
    EXPECT_FALSE(s.list.IsColumnVisible(5));
    // Ctrl + keypad plus fits the columns; the hidden one stays hidden.
    s.list.setFocus();
    QTest::keyClick(&s.list, Qt::Key_Plus, Qt::ControlModifier | Qt::KeypadModifier);
    EXPECT_EQ(s.list.header()->sectionSize(5), 0);
    EXPECT_NE(s.list.GetColumnWidth(0), 150);

    EXPECT_EQ(s.list.ShowColumn(5, true), 1);
    EXPECT_TRUE(s.list.IsColumnVisible(5));
    EXPECT_EQ(s.list.GetColumnWidth(5), 110);
    EXPECT_EQ(s.list.GetColumnOrder().back(), 5);
    EXPECT_EQ(s.list.GetColumnOrder()[0], 0);
    EXPECT_EQ(s.list.ShowColumn(40, false), 0);
}

TEST(ReportColumns, HeaderItemDroppedLeftOfHiddenColumnsLandsAfterThem) {
    ShownList s;
    s.list.ShowColumn(5, false);
    s.list.ShowColumn(9, false);
    auto order = s.list.GetColumnOrder();
    ASSERT_EQ(order[0], 9);
    ASSERT_EQ(order[1], 5);
    // The user drags "Title" (column 8) onto the far left of the header.
    QWidget* hv = s.list.header()->viewport();
    const QPoint from = s.SectionCentre(8);
    QTest::mousePress(hv, Qt::LeftButton, {}, from);
    for (int x = from.x(); x > 2; x -= 40) QTest::mouseMove(hv, QPoint(x, from.y()));
    QTest::mouseMove(hv, QPoint(2, from.y()));
    QTest::mouseRelease(hv, Qt::LeftButton, {}, QPoint(2, from.y()));
    order = s.list.GetColumnOrder();
    EXPECT_EQ(order[0], 9);
    EXPECT_EQ(order[1], 5);
    EXPECT_EQ(order[2], 8);
    EXPECT_EQ(order[3], 0);
}

TEST(ReportColumns, DividerDoubleClickFitsTheContent) {
    ShownList s;
    s.AddRow("a very long file name that is wider than the default column width.mp3");
    QWidget* hv = s.list.header()->viewport();
    const int edge = s.list.header()->sectionViewportPosition(0) + s.list.header()->sectionSize(0);
    QTest::mouseDClick(hv, Qt::LeftButton, {}, QPoint(edge - 1, 5));
    EXPECT_GT(s.list.GetColumnWidth(0), 150);
}

TEST(ReportColumns, HeaderImagesAndEditAlignment) {
    ShownList s;
    s.list.SetHeaderImageList(CReportCtrl::SortMarkIcons());
    EXPECT_TRUE(s.list.SetHeaderImage(3, 1, false));
    EXPECT_EQ(s.list.GetHeaderImage(3), 1);
    EXPECT_EQ(s.list.GetHeaderItemFormat(3), kHeaderFormatRight | kHeaderFormatImage | kHeaderFormatBitmapOnRight);
    EXPECT_FALSE(s.list.Model()->headerData(3, Qt::Horizontal, Qt::DecorationRole).isNull());
    EXPECT_FALSE(s.list.SetHeaderImage(30, 1, false));
    EXPECT_EQ(s.list.GetColumnEditAlign(0), 0);
    EXPECT_EQ(s.list.GetColumnEditAlign(3), 2);
    s.list.InsertColumnEx(18, "Centre", 2, 50);
    EXPECT_EQ(s.list.GetColumnEditAlign(18), 1);
    s.list.setHeaderHidden(true);
    EXPECT_EQ(s.list.GetColumnEditAlign(3), 0);
    EXPECT_FALSE(s.list.SetHeaderClickable(true));
    s.list.setHeaderHidden(false);
    EXPECT_TRUE(s.list.SetHeaderClickable(false));
    // A header that is not clickable does not sort.
    s.AddRow("b");
    s.AddRow("a");
    s.ClickHeader(0);
    EXPECT_EQ(s.list.GetItemText(0, 0), "b");
}

TEST(ReportColumns, EnsureColumnVisibleScrollsHorizontally) {
    CReportCtrl list;
    AddFileListColumns(list);
    list.InsertItemEx(0, "a");
    list.resize(400, 300);
    list.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&list));
    EXPECT_EQ(list.horizontalScrollBar()->value(), 0);
    list.EnsureColumnVisible(17, false);
    const int right = list.header()->sectionViewportPosition(17) + list.header()->sectionSize(17);
    EXPECT_LE(right, list.viewport()->width());
    EXPECT_GT(list.horizontalScrollBar()->value(), 0);
    list.EnsureColumnVisible(0, false);
    EXPECT_EQ(list.header()->sectionViewportPosition(0), 0);
}

TEST(ReportColumns, LayoutRoundTripsThroughTheProfile) {
    velmora::testing::TempDir dir;
    const QString file = QString::fromStdString((dir / "profile.conf").string());
    std::vector<ReportColumnDef> defs;
    for (const auto& c : kFileListColumns) defs.push_back({QString::fromLatin1(c.title), static_cast<int>(c.align), c.defaultWidth});
    {
        ApplicationProfile profile = ApplicationProfile::AtPath(file);
        CReportCtrl list;
        InsertColumnsWithLayout(list, defs, profile);  // nothing stored: defaults
        EXPECT_EQ(list.GetSortList(), (std::vector<ColumnSortInfo>{{0, 1}}));
        EXPECT_EQ(list.GetColumnWidth(7), 85);
        list.SetColumnWidth(4, 222);
        list.ShowColumn(6, false);
        list.ShowColumn(11, false);
        list.SetSortList({{8, 0}, {4, 1}});
        ASSERT_TRUE(SaveColumnLayout(list, profile));
        ASSERT_TRUE(profile.Sync());
        const QByteArray blob = list.ColumnStateBlob();
        EXPECT_EQ(blob.size(), 18 * 8);
        EXPECT_EQ(list.SortListBlob().size(), 16);
    }
    ApplicationProfile profile = ApplicationProfile::AtPath(file);
    CReportCtrl list;
    InsertColumnsWithLayout(list, defs, profile);
    EXPECT_EQ(list.GetColumnWidth(4), 222);
    EXPECT_FALSE(list.IsColumnVisible(6));
    EXPECT_FALSE(list.IsColumnVisible(11));
    EXPECT_EQ(list.GetColumnRestoreWidth(6), 110);
    EXPECT_TRUE(list.IsColumnVisible(5));
    EXPECT_EQ(list.GetSortList(), (std::vector<ColumnSortInfo>{{8, 0}, {4, 1}}));
    list.ShowColumn(6, true);
    EXPECT_EQ(list.GetColumnWidth(6), 110);
}

TEST(ReportColumns, StoredBlocksThatDoNotFit) {
    // A zero-length or unusable sort list falls back to column 0 ascending.
    EXPECT_EQ(CReportCtrl::ParseSortListBlob({}, 18), (std::vector<ColumnSortInfo>{{0, 1}}));
    QByteArray odd(5, '\x01');
    EXPECT_EQ(CReportCtrl::ParseSortListBlob(odd, 18), (std::vector<ColumnSortInfo>{{0, 1}}));
    QByteArray entries;
    for (int32_t v : {99, 1, 3, 0, 3, 1, -4, 1, 2, 7}) entries.append(reinterpret_cast<const char*>(&v), 4);
    EXPECT_EQ(CReportCtrl::ParseSortListBlob(entries, 18), (std::vector<ColumnSortInfo>{{3, 0}, {2, 1}}));
    // A short column block covers only its own columns.
    QByteArray columns;
    for (int32_t v : {1, 120, 0, 90}) columns.append(reinterpret_cast<const char*>(&v), 4);
    const auto parsed = CReportCtrl::ParseColumnBlob(columns, 18);
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_TRUE(parsed[0].visible);
    EXPECT_EQ(parsed[0].width, 120);
    EXPECT_FALSE(parsed[1].visible);
}

// Scrolled sideways past the icon column, a sort keeps the rows as tall as their icons.
TEST(ReportSort, ScrolledSidewaysASortKeepsTheRowHeight) {
    ShownList s;
    s.list.resize(500, 300);
    QPixmap icon(16, 16);
    icon.fill(Qt::darkGreen);
    s.list.SetImageList({QIcon(icon)});
    for (const char* name : {"b", "a", "c"}) s.list.SetItemImage(s.AddRow(name), 0, 0);
    QCoreApplication::processEvents();
    const int height = s.list.visualRect(s.list.Model()->index(0, 0)).height();
    ASSERT_GE(height, 18);
    s.list.horizontalScrollBar()->setValue(s.list.horizontalScrollBar()->maximum());
    const int column = s.list.header()->logicalIndexAt(s.list.viewport()->width() / 2);
    ASSERT_GT(column, 3);
    s.ClickHeader(column);
    QCoreApplication::processEvents();
    EXPECT_EQ(s.list.visualRect(s.list.Model()->index(0, column)).height(), height);
}

// A path column cut in its middle: two paths that differ only at their ends stay apart.
TEST(ReportSort, ThePathColumnElidesInTheMiddle) {
    ShownList s;
    s.list.SetColumnElidesInMiddle(kColPath);
    s.list.SetColumnWidth(kColPath, 120);
    for (const char* disc : {"1", "2"}) {
        const int row = s.AddRow("x.mp3");
        s.list.SetItemTextEx(row, kColPath, QStringLiteral("/home/reader/Audiobooks/Some Long Book Title/Disc %1/").arg(disc));
    }
    s.list.clearSelection();
    QCoreApplication::processEvents();
    const QImage image = s.list.viewport()->grab().toImage();
    auto cell = [&](int row) { return image.copy(s.list.visualRect(s.list.Model()->index(row, kColPath))); };
    EXPECT_NE(cell(0), cell(1));
}

// The focused row shows a frame in the palette's highlight colour along its whole width while
// the list has the focus (dotted in the highlighted text's colour when it is selected), and
// none once the focus is elsewhere.
TEST(ReportSort, TheFocusedRowIsFramedWhileTheListHasTheFocus) {
    ShownList s;
    s.list.resize(600, 200);
    for (const char* name : {"a", "b", "c"}) s.AddRow(name);
    QPalette palette = s.list.palette();
    palette.setColor(QPalette::Highlight, QColor(0, 200, 0));
    palette.setColor(QPalette::HighlightedText, QColor(200, 0, 200));
    s.list.setPalette(palette);
    QLineEdit elsewhere;
    elsewhere.show();
    for (bool selected : {false, true}) {
        s.list.setCurrentIndex(s.list.Model()->index(1, 0));
        if (!selected) s.list.clearSelection();
        s.list.activateWindow();
        s.list.setFocus();
        ASSERT_TRUE(QTest::qWaitFor([&] { return s.list.hasFocus(); }, 2000));
        const QColor frame = selected ? QColor(200, 0, 200) : QColor(0, 200, 0);
        const QRect row = s.list.visualRect(s.list.Model()->index(1, 0));
        auto framed = [&] {
            const QImage image = s.list.viewport()->grab().toImage();
            int count = 0;
            for (int x = 0; x < s.list.viewport()->width(); ++x) count += image.pixelColor(x, row.top()) == frame;
            return count;
        };
        // Dots cover every other pixel.
        EXPECT_GT(framed(), s.list.viewport()->width() / 3) << "selected " << selected;
        elsewhere.activateWindow();
        elsewhere.setFocus();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !s.list.hasFocus(); }, 2000));
        EXPECT_LT(framed(), 10) << "selected " << selected;
    }
}
