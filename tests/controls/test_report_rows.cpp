// Rows of the report list: records, moves, state flags, numbers, colours.
#include "report_test_util.h"

#include "controls/report_summary.h"
#include "controls/view_look.h"
#include "support/palette_fixtures.h"

#include <gtest/gtest.h>

#include <QColor>

using namespace velmora;
using velmora::testing::AddFileListColumns;

namespace {

// An owner object that counts its destructions.
struct Owned {
    static inline int destroyed = 0;
    int id = 0;
    ~Owned() { ++destroyed; }
};

void FillRows(CReportCtrl& list, std::vector<std::unique_ptr<Owned>>& owners, int n) {
    for (int i = 0; i < n; ++i) {
        owners.push_back(std::make_unique<Owned>());
        owners.back()->id = i;
        const int row = list.InsertItemEx(list.GetItemCount(), QString("row%1").arg(i), owners.back().get());
        list.SetItemTextEx(row, 1, QString("/f%1/").arg(i));
    }
}

}  // namespace

TEST(ReportRows, InsertWrapsTheUserDataInARecordWithDefaultColours) {
    CReportCtrl list;
    AddFileListColumns(list);
    int owner = 7;
    const int before = ReportItemInfo::LiveCount();
    EXPECT_EQ(list.InsertItemEx(5, "a", &owner), 0);  // past the end appends
    EXPECT_EQ(list.InsertItemEx(-1, "b", &owner), -1);
    EXPECT_EQ(list.InsertItemEx(0, "c", nullptr), 0);
    EXPECT_EQ(ReportItemInfo::LiveCount(), before + 2);
    EXPECT_EQ(list.GetItemText(1, 0), "a");
    EXPECT_EQ(list.GetItemUserData(1), &owner);
    EXPECT_EQ(list.GetItemUserData(0), nullptr);
    EXPECT_EQ(list.GetItemUserData(9), nullptr);
    ReportItemInfo* info = list.GetItemInfo(1);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->backColors.size(), 18u);
    EXPECT_EQ(info->textColors.size(), 18u);
    EXPECT_EQ(info->backColors[4], list.palette().color(QPalette::Base).rgb());
    EXPECT_EQ(info->textColors[4], list.palette().color(QPalette::Text).rgb());
    // A column inserted later extends every row's colour arrays at its index.
    info->backColors[3] = qRgb(1, 2, 3);
    list.InsertColumnEx(2, "Extra", 0, 40);
    EXPECT_EQ(info->backColors.size(), 19u);
    EXPECT_EQ(info->backColors[4], qRgb(1, 2, 3));
    EXPECT_EQ(list.GetItemText(1, 2), "");
}

TEST(ReportRows, MovingASelectedRowKeepsSelectionColoursAndOwner) {
    CReportCtrl list;
    AddFileListColumns(list);
    std::vector<std::unique_ptr<Owned>> owners;
    FillRows(list, owners, 5);
    list.SetItemStateFlags(1, kStateSelected | kStateFocused);
    list.SetCellBackColor(1, 4, QColor(10, 20, 30), false);
    EXPECT_EQ(list.MoveItem(1, 3), 3);
    EXPECT_EQ(list.GetItemText(3, 0), "row1");
    EXPECT_EQ(list.GetItemText(3, 1), "/f1/");
    EXPECT_EQ(static_cast<Owned*>(list.GetItemUserData(3))->id, 1);
    EXPECT_EQ(list.GetItemStateFlags(3), unsigned(kStateSelected | kStateNotChecked | kStateFocused));
    EXPECT_EQ(list.GetItemStateFlags(1) & kStateSelected, 0u);
    EXPECT_EQ(list.GetCellBackColor(3, 4), qRgb(10, 20, 30));
    EXPECT_EQ(list.GetItemText(1, 0), "row2");
    // And back up to the top.
    EXPECT_EQ(list.MoveItemToTop(3), 0);
    EXPECT_EQ(list.GetItemText(0, 0), "row1");
    EXPECT_TRUE(list.GetItemStateFlags(0) & kStateSelected);
    EXPECT_EQ(list.MoveItemToBottom(0), 4);
    EXPECT_EQ(list.GetItemText(4, 0), "row1");
    EXPECT_EQ(list.GetCellBackColor(4, 4), qRgb(10, 20, 30));
}

TEST(ReportRows, MoveByOffsets) {
    CReportCtrl list;
    AddFileListColumns(list);
    std::vector<std::unique_ptr<Owned>> owners;
    FillRows(list, owners, 3);
    EXPECT_EQ(list.MoveItemBy(0, -1), 0);
    EXPECT_EQ(list.GetItemText(0, 0), "row0");
    EXPECT_EQ(list.MoveItemBy(0, 1), 1);
    EXPECT_EQ(list.GetItemText(1, 0), "row0");
    EXPECT_EQ(list.MoveItemBy(1, INT_MAX), 2);
    EXPECT_EQ(list.MoveItem(7, 0), -1);
    EXPECT_EQ(list.MoveItem(-1, 0), -1);
}

TEST(ReportRows, SetItemNumberFormats) {
    CReportCtrl list;
    AddFileListColumns(list);
    list.InsertItemEx(0, "x");
    EXPECT_TRUE(list.SetItemNumber(0, 12, 3.5, -1));
    EXPECT_EQ(list.GetItemText(0, 12), "3.5");
    list.SetItemNumber(0, 12, 12.0, -1);
    EXPECT_EQ(list.GetItemText(0, 12), "12");
    list.SetItemNumber(0, 12, 3.5, 2);
    EXPECT_EQ(list.GetItemText(0, 12), "3.50");
    list.SetItemNumber(0, 12, 0.0, -1);
    EXPECT_EQ(list.GetItemText(0, 12), "0");
    list.SetItemNumber(0, 12, 2.0, 0);
    EXPECT_EQ(list.GetItemText(0, 12), "2");
    EXPECT_FALSE(list.SetItemNumber(3, 12, 1.0, 1));
    EXPECT_FALSE(list.SetItemNumber(0, 40, 1.0, 1));
}

TEST(ReportRows, CountsMasksAndFlags) {
    CReportCtrl list;
    AddFileListColumns(list);
    std::vector<std::unique_ptr<Owned>> owners;
    FillRows(list, owners, 6);
    list.SetItemStateFlags(1, kStateSelected);
    list.SetItemStateFlags(4, kStateSelected | kStateFocused);
    EXPECT_EQ(list.CountItemsByState(kStateSelected), 2);
    EXPECT_EQ(list.CountItemsByState(kStateAll), 6);
    EXPECT_EQ(list.CountItemsByState(0x03), 6);  // any odd mask counts every row
    EXPECT_EQ(list.CountItemsByState(0), 0);
    EXPECT_EQ(list.CountItemsByState(kStateNotSelected), 4);
    EXPECT_EQ(list.CountItemsByState(kStateSelected | kStateFocused), 1);
    EXPECT_EQ(list.CountItemsByState(kStateChecked), 0);  // no check boxes: never checked
    EXPECT_EQ(list.FindNextItemByState(kStateSelected, -1), 1);
    EXPECT_EQ(list.FindNextItemByState(kStateSelected, -7), 1);
    EXPECT_EQ(list.FindNextItemByState(kStateSelected, 1), 4);
    EXPECT_EQ(list.FindNextItemByState(kStateSelected, 4), -1);
    EXPECT_EQ(list.FindNextItemByState(0, -1), -1);
    EXPECT_EQ(list.FindNextItemByState(kStateNotSelected, 0), 2);
    EXPECT_EQ(list.FindNextItemByState(kStateNotSelected, 3), 5);
    EXPECT_EQ(list.FindNextItemByState(kStateSelected | kStateFocused, -1), 4);
    EXPECT_EQ(list.FindNextItemByState(kStateNotSelected | kStateNotFocused, 4), 5);
    EXPECT_EQ(list.FindNextItemByState(kStateSelected | kStateNotSelected, -1), -1);
    EXPECT_EQ(list.GetItemsByState(kStateNotSelected), (std::vector<int>{0, 2, 3, 5}));
    // A read flag word holds exactly one bit of each pair.
    for (int row = 0; row < 6; ++row) {
        const unsigned f = list.GetItemStateFlags(row);
        EXPECT_EQ(((f & kStateSelected) != 0) + ((f & kStateNotSelected) != 0), 1);
        EXPECT_EQ(((f & kStateChecked) != 0) + ((f & kStateNotChecked) != 0), 1);
        EXPECT_EQ(((f & kStateFocused) != 0) + ((f & kStateNotFocused) != 0), 1);
    }
    EXPECT_EQ(list.GetItemStateFlags(9), 0u);
    EXPECT_FALSE(list.SetItemStateFlags(0, 0));
    EXPECT_FALSE(list.SetItemStateFlags(9, kStateSelected));

    // Select all, then deselect the focused one, then invert.
    EXPECT_EQ(list.ApplyStateFlags(kStateAll, kStateSelected), 6);
    EXPECT_EQ(list.CountItemsByState(kStateSelected), 6);
    EXPECT_EQ(list.ApplyStateFlags(kStateFocused, kStateNotSelected), 1);
    EXPECT_EQ(list.CountItemsByState(kStateSelected), 5);
    list.InvertStates(0);
    EXPECT_EQ(list.CountItemsByState(kStateSelected), 1);
    EXPECT_EQ(list.FindNextItemByState(kStateSelected), 4);
    EXPECT_EQ(list.ApplyStateFlags(0, kStateSelected), 0);
    EXPECT_EQ(list.ApplyStateFlags(kStateAll, 0), 0);
    list.SetItemStateFlags(4, kStateNotFocused);
    EXPECT_EQ(list.CountItemsByState(kStateFocused), 0);
}

TEST(ReportRows, CheckBoxesWhenTheStyleAsksForThem) {
    CReportCtrl list;
    AddFileListColumns(list);
    list.InsertItemEx(0, "a");
    list.InsertItemEx(1, "b");
    list.SetItemStateFlags(0, kStateChecked);
    EXPECT_EQ(list.CountItemsByState(kStateChecked), 0);
    list.SetExtendedStyleEx(0x04);
    EXPECT_EQ(list.GetExtendedStyle(), 0x26u);
    list.SetItemStateFlags(0, kStateChecked);
    EXPECT_EQ(list.CountItemsByState(kStateChecked), 1);
    list.InvertStates(1);
    EXPECT_EQ(list.FindNextItemByState(kStateChecked), 1);
}

TEST(ReportRows, DeletingAllRowsFreesEveryRecordButNoOwner) {
    std::vector<std::unique_ptr<Owned>> owners;
    {
        CReportCtrl list;
        AddFileListColumns(list);
        const int before = ReportItemInfo::LiveCount();
        FillRows(list, owners, 25);
        EXPECT_EQ(ReportItemInfo::LiveCount(), before + 25);
        Owned::destroyed = 0;
        EXPECT_EQ(list.DeleteItemsByState(kStateAll), 25);
        EXPECT_EQ(list.GetItemCount(), 0);
        EXPECT_EQ(ReportItemInfo::LiveCount(), before);
        EXPECT_EQ(Owned::destroyed, 0);
    }
    EXPECT_EQ(Owned::destroyed, 0);
    EXPECT_EQ(owners.size(), 25u);
}

TEST(ReportRows, DeleteByStateAndSelectNext) {
    CReportCtrl list;
    AddFileListColumns(list);
    std::vector<std::unique_ptr<Owned>> owners;
    FillRows(list, owners, 6);
    const int before = ReportItemInfo::LiveCount();
    list.SetItemStateFlags(1, kStateSelected);
    list.SetItemStateFlags(2, kStateSelected);
    list.SetItemStateFlags(5, kStateSelected);
    EXPECT_EQ(list.DeleteItemsByState(kStateSelected), 3);
    EXPECT_EQ(ReportItemInfo::LiveCount(), before - 3);
    ASSERT_EQ(list.GetItemCount(), 3);
    EXPECT_EQ(list.GetItemText(0, 0), "row0");
    EXPECT_EQ(list.GetItemText(1, 0), "row3");
    EXPECT_EQ(list.GetItemText(2, 0), "row4");
    EXPECT_EQ(list.DeleteItemsByState(0), 0);
    list.DeleteItemEx(0, true);
    EXPECT_EQ(list.GetItemText(0, 0), "row3");
    EXPECT_TRUE(list.GetItemStateFlags(0) & kStateSelected);
    list.DeleteItemEx(17);  // outside: nothing
    EXPECT_EQ(list.GetItemCount(), 2);
    // The destructor frees the rest.
}

TEST(ReportRows, DeletingSelectedRowsTellsTheViewsOncePerRun) {
    CReportCtrl list;
    AddFileListColumns(list);
    std::vector<std::unique_ptr<Owned>> owners;
    FillRows(list, owners, 10);
    for (int row : {1, 2, 3, 5, 7, 8, 9}) list.SetItemStateFlags(row, kStateSelected);
    std::vector<std::pair<int, int>> removals;
    QObject::connect(list.Model(), &QAbstractItemModel::rowsRemoved,
                     [&](const QModelIndex&, int first, int last) { removals.emplace_back(first, last); });
    const int before = ReportItemInfo::LiveCount();
    EXPECT_EQ(list.DeleteItemsByState(kStateSelected), 7);
    EXPECT_EQ(removals, (std::vector<std::pair<int, int>>{{7, 9}, {5, 5}, {1, 3}}));
    EXPECT_EQ(ReportItemInfo::LiveCount(), before - 7);
    ASSERT_EQ(list.GetItemCount(), 3);
    EXPECT_EQ(list.GetItemText(0, 0), "row0");
    EXPECT_EQ(list.GetItemText(1, 0), "row4");
    EXPECT_EQ(list.GetItemText(2, 0), "row6");
    EXPECT_EQ(list.DeleteItems({2, 2, 0, 17, -1}), 2);  // repeats and rows outside are skipped
    ASSERT_EQ(list.GetItemCount(), 1);
    EXPECT_EQ(list.GetItemText(0, 0), "row4");
}

TEST(ReportRows, CellColoursForOneCellARowAColumnOrAll) {
    CReportCtrl list;
    AddFileListColumns(list);
    for (int i = 0; i < 3; ++i) list.InsertItemEx(i, "r");
    list.SetCellBackColor(1, 2, QColor(1, 1, 1), true);
    EXPECT_EQ(list.GetCellBackColor(1, 2), qRgb(1, 1, 1));
    EXPECT_EQ(list.GetCellBackColor(1, 3), list.palette().color(QPalette::Base).rgb());
    list.SetCellBackColor(-1, 5, QColor(2, 2, 2), false);
    for (int r = 0; r < 3; ++r) EXPECT_EQ(list.GetCellBackColor(r, 5), qRgb(2, 2, 2));
    list.SetCellBackColor(2, 99, QColor(3, 3, 3), false);
    for (int c = 0; c < 18; ++c) EXPECT_EQ(list.GetCellBackColor(2, c), qRgb(3, 3, 3));
    list.SetCellBackColor(2, 4, QColor(), false);  // no colour: the window colour
    EXPECT_EQ(list.GetCellBackColor(2, 4), list.palette().color(QPalette::Base).rgb());
    // The model shows the record's colours.
    EXPECT_EQ(list.Model()->data(list.Model()->index(1, 2), Qt::BackgroundRole).value<QColor>(), QColor(1, 1, 1));
}

TEST(ReportRows, RecolorStripesAndSortedColumnTint) {
    CReportCtrl list;
    AddFileListColumns(list);
    for (int i = 0; i < 4; ++i) list.InsertItemEx(i, "r");
    list.SetSortList({{7, 1}});
    list.RecolorRows(true);
    EXPECT_EQ(list.GetCellBackColor(0, 0), qRgb(255, 255, 255));
    EXPECT_EQ(list.GetCellBackColor(0, 7), qRgb(247, 248, 253));
    EXPECT_EQ(list.GetCellBackColor(1, 0), qRgb(243, 245, 252));
    EXPECT_EQ(list.GetCellBackColor(1, 7), qRgb(235, 238, 250));
    list.RecolorRows(false);
    EXPECT_EQ(list.GetCellBackColor(1, 7), qRgb(243, 245, 252));
    EXPECT_EQ(list.GetCellBackColor(2, 7), qRgb(255, 255, 255));
}

// A dark palette arriving after the rows (as a theme change does) recolours them: every cell,
// the sort column's included, and the empty list's hint keep a readable contrast; the light
// palette brings the light shades back.
TEST(ReportRows, UnderADarkPaletteEveryCellIsReadable) {
    for (const QPalette& dark : velmora::testing::DarkPalettes()) {
        CReportCtrl list;
        AddFileListColumns(list);
        for (int i = 0; i < 4; ++i) list.InsertItemEx(i, "r");
        list.SetSortList({{7, 1}});
        list.RecolorRows(true);
        const QPalette light = list.palette();
        list.setPalette(dark);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < list.GetColumnCount(); ++c) {
                const QModelIndex cell = list.Model()->index(r, c);
                const auto text = cell.data(Qt::ForegroundRole).value<QColor>();
                const auto back = cell.data(Qt::BackgroundRole).value<QColor>();
                EXPECT_GE(velmora::testing::ContrastRatio(text, back), 4.5) << r << "," << c;
                EXPECT_LT(back.lightnessF(), 0.5) << r << "," << c;
            }
        EXPECT_NE(list.GetCellBackColor(1, 7), list.GetCellBackColor(1, 0));  // the sort tint stays
        EXPECT_NE(list.GetCellBackColor(1, 0), list.GetCellBackColor(0, 0));  // and so do the stripes
        EXPECT_GE(velmora::testing::ContrastRatio(HintTextColour(dark), dark.color(QPalette::Base)), 4.5);
        list.setPalette(light);
        EXPECT_EQ(list.GetCellBackColor(1, 7), qRgb(235, 238, 250));
        EXPECT_EQ(list.Model()->index(1, 7).data(Qt::ForegroundRole).value<QColor>(), light.color(QPalette::Text));
    }
}

TEST(ReportRows, SelectionSummaryWalksTheSelectedRows) {
    CReportCtrl list;
    AddFileListColumns(list);
    EXPECT_EQ(SelectionSummaryOf(list), "No file selected");
    FileItemInfo first, second;
    first.sizeMB = 1048576 / 1048576.0;
    first.duration = 61.9;
    second.sizeMB = 524288 / 1048576.0;
    second.duration = 3600.5;
    list.InsertItemEx(0, "one.mp3", &first);
    list.InsertItemEx(1, "two.mp3", &second);
    EXPECT_EQ(SelectionSummaryOf(list), "No file selected");
    list.SetItemStateFlags(1, kStateSelected);
    EXPECT_EQ(SelectionSummaryOf(list), "1 file(s) selected, 0.50 MB   01:00:00");
    list.ApplyStateFlags(kStateAll, kStateSelected);
    EXPECT_EQ(SelectionSummaryOf(list), "2 file(s) selected, 1.50 MB   01:01:02");
}

TEST(ReportRows, HeldAppendsReachTheViewTogetherAndBeforeAnyOtherChange) {
    CReportCtrl list;
    AddFileListColumns(list);
    list.resize(600, 400);
    list.show();
    CReportModel* model = list.Model();
    int announcements = 0;
    QObject::connect(model, &QAbstractItemModel::rowsInserted, [&](const QModelIndex&, int, int last) {
        EXPECT_LE(last, model->rowCount() - 1);
        ++announcements;
    });

    model->HoldAppends(true);
    std::vector<std::unique_ptr<Owned>> owners;
    FillRows(list, owners, 3);
    // The control knows all three rows at once; the view none yet.
    EXPECT_EQ(list.GetItemCount(), 3);
    EXPECT_EQ(list.GetItemText(2, 1), "/f2/");
    EXPECT_EQ(model->rowCount(), 0);
    EXPECT_EQ(announcements, 0);

    // The timer announces them in one go, with the texts written meanwhile.
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 3, 2000);
    EXPECT_EQ(announcements, 1);
    EXPECT_EQ(model->data(model->index(2, 1), Qt::DisplayRole).toString(), "/f2/");
    EXPECT_FALSE(list.visualRect(model->index(2, 0)).isEmpty());

    // Selecting a held row announces it first, so the selection lands on it.
    FillRows(list, owners, 2);
    EXPECT_EQ(model->rowCount(), 3);
    list.SetItemStateFlags(4, kStateSelected);
    EXPECT_EQ(model->rowCount(), 5);
    EXPECT_TRUE(list.GetItemStateFlags(4) & kStateSelected);

    // An insert that is not an append, a move and a removal each see every row.
    FillRows(list, owners, 1);
    list.InsertItemEx(0, "first", nullptr);
    EXPECT_EQ(model->rowCount(), 7);
    EXPECT_EQ(list.GetItemText(6, 0), "row0");
    FillRows(list, owners, 1);
    EXPECT_EQ(list.MoveItemToTop(7), 0);
    EXPECT_EQ(model->rowCount(), 8);
    EXPECT_EQ(model->data(model->index(0, 0), Qt::DisplayRole).toString(), "row0");
    FillRows(list, owners, 1);
    list.DeleteItemEx(8, false);
    EXPECT_EQ(model->rowCount(), 8);
    EXPECT_EQ(list.GetItemCount(), 8);

    // Ending the hold announces what is left; appends then reach the view one by one.
    FillRows(list, owners, 2);
    EXPECT_EQ(model->rowCount(), 8);
    model->HoldAppends(false);
    EXPECT_EQ(model->rowCount(), 10);
    FillRows(list, owners, 1);
    EXPECT_EQ(model->rowCount(), 11);

    // Removing everything while rows are held leaves no count behind.
    model->HoldAppends(true);
    FillRows(list, owners, 2);
    list.DeleteItemsByState(kStateAll);
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(model->rowCount(), 0);
    FillRows(list, owners, 1);
    model->HoldAppends(false);
    EXPECT_EQ(model->rowCount(), 1);
}
