// The report list's in-place editor, its keys, the header menu and the hints of an empty list.
#include "report_test_util.h"

#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QTimer>

using namespace velmora;
using velmora::testing::AddFileListColumns;
using velmora::testing::NotifySpy;

namespace {

struct EditList {
    CReportCtrl list;
    NotifySpy spy;
    explicit EditList(int rows = 4) {
        AddFileListColumns(list);
        list.SetNotifyTarget(&spy);
        for (int i = 0; i < rows; ++i) {
            list.InsertItemEx(i, QString("song%1.part.mp3").arg(i));
            list.SetItemTextEx(i, 1, "/music/");
        }
        list.EnableEdit(true);
        list.AddEditableColumn(0);
        list.resize(900, 400);
        list.show();
        QApplication::setActiveWindow(&list);
        EXPECT_TRUE(QTest::qWaitForWindowActive(&list));
    }
    QPoint CellCentre(int row, int column) const { return list.visualRect(list.Model()->index(row, column)).center(); }
    void Click(int row, int column) {
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, CellCentre(row, column));
    }
    QLineEdit* Editor() const { return list.Editor(); }
    bool EditorShown() const { return Editor() && Editor()->isVisible(); }
    void Key(int key, Qt::KeyboardModifiers mods = {}) {
        QWidget* target = EditorShown() ? static_cast<QWidget*>(Editor()) : static_cast<QWidget*>(&list);
        QTest::keyClick(target, static_cast<Qt::Key>(key), mods);
    }
};

}  // namespace

TEST(ReportEdit, FirstClickSelectsSecondClickOpensTheEditorOnTheName) {
    EditList e;
    e.Click(1, 0);
    EXPECT_FALSE(e.EditorShown());
    EXPECT_TRUE(e.list.GetItemStateFlags(1) & kStateSelected);
    EXPECT_TRUE(e.list.GetItemStateFlags(1) & kStateFocused);
    QTest::qWait(QApplication::doubleClickInterval() + 50);  // two separate clicks, not a double-click
    e.Click(1, 0);
    ASSERT_TRUE(e.EditorShown());
    EXPECT_EQ(e.list.EditCell().row, 1);
    EXPECT_EQ(e.list.EditCell().column, 0);
    EXPECT_EQ(e.Editor()->text(), "song1.part.mp3");
    EXPECT_EQ(e.Editor()->selectedText(), "song1.part");
    EXPECT_EQ(e.list.PreEditText(), "song1.part.mp3");
    EXPECT_TRUE(e.Editor()->hasFocus());
}

TEST(ReportEdit, ClickOnANonEditableColumnOpensNothing) {
    EditList e;
    e.Click(1, 1);
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    e.Click(1, 1);
    EXPECT_FALSE(e.EditorShown());
    EXPECT_FALSE(e.list.IsEditOpen());
}

TEST(ReportEdit, EnterWithUnchangedTextSendsNothingChangedTextSendsTheRename) {
    EditList e;
    ASSERT_TRUE(e.list.BeginEdit(2, 0));
    e.Key(Qt::Key_Return);
    EXPECT_FALSE(e.EditorShown());
    EXPECT_TRUE(e.spy.renamed.empty());
    EXPECT_EQ(e.list.EditCell().row, -1);

    ASSERT_TRUE(e.list.BeginEdit(2, 0));
    QTest::keyClicks(e.Editor(), "renamed");  // replaces the selected stem
    e.Key(Qt::Key_Return);
    ASSERT_EQ(e.spy.renamed.size(), 1u);
    EXPECT_EQ(e.spy.renamed[0].row, 2);
    EXPECT_EQ(e.spy.renamed[0].column, 0);
    EXPECT_EQ(e.spy.cellTextAtRename[0], "renamed.mp3");  // the cell already shows the new text
    EXPECT_EQ(e.spy.preEditAtRename[0], "song2.part.mp3");
    EXPECT_EQ(e.list.GetItemText(2, 0), "renamed.mp3");
}

TEST(ReportEdit, ASortClosesTheEditorSoEnterCannotRenameAnotherRow) {
    EditList e;
    ASSERT_TRUE(e.list.BeginEdit(0, 0));
    QTest::keyClicks(e.Editor(), "typed");
    e.list.SetSortList({{0, 0}});  // by name, descending: row 0 goes to the end
    e.list.SortRows(0, e.list.GetItemCount() - 1, true);  // as a load's closing sort does
    EXPECT_FALSE(e.list.IsEditOpen());
    EXPECT_FALSE(e.EditorShown());
    QTest::keyClick(&e.list, Qt::Key_Return);
    EXPECT_TRUE(e.spy.renamed.empty());
    for (int r = 0; r < e.list.GetItemCount(); ++r)
        EXPECT_TRUE(e.list.GetItemText(r, 0).startsWith(QStringLiteral("song"))) << r;
}

TEST(ReportEdit, EscLeavesTheOldText) {
    EditList e;
    ASSERT_TRUE(e.list.BeginEdit(0, 0));
    QTest::keyClicks(e.Editor(), "other");
    e.Key(Qt::Key_Escape);
    EXPECT_FALSE(e.EditorShown());
    EXPECT_EQ(e.list.GetItemText(0, 0), "song0.part.mp3");
    EXPECT_TRUE(e.spy.renamed.empty());
}

TEST(ReportEdit, UpAndDownWrapAround) {
    EditList e;
    ASSERT_TRUE(e.list.BeginEdit(3, 0));
    e.Key(Qt::Key_Down);
    ASSERT_TRUE(e.EditorShown());
    EXPECT_EQ(e.list.EditCell().row, 0);
    EXPECT_EQ(e.Editor()->text(), "song0.part.mp3");
    EXPECT_TRUE(e.list.GetItemStateFlags(0) & kStateSelected);
    EXPECT_EQ(e.list.CountItemsByState(kStateSelected), 1);
    e.Key(Qt::Key_Up);
    EXPECT_EQ(e.list.EditCell().row, 3);
    e.Key(Qt::Key_Up);
    EXPECT_EQ(e.list.EditCell().row, 2);
    // A moved edit saves what was typed.
    QTest::keyClicks(e.Editor(), "x");
    e.Key(Qt::Key_Down);
    EXPECT_EQ(e.list.GetItemText(2, 0), "x.mp3");
    EXPECT_EQ(e.spy.renamed.size(), 1u);
    EXPECT_EQ(e.list.EditCell().row, 3);
}

TEST(ReportEdit, TabWithOneEditableColumnReopensOnTheSameCell) {
    EditList e;
    ASSERT_TRUE(e.list.BeginEdit(1, 0));
    QTest::keyClicks(e.Editor(), "t");
    e.Key(Qt::Key_Tab);
    ASSERT_TRUE(e.EditorShown());
    EXPECT_EQ(e.list.EditCell().row, 1);
    EXPECT_EQ(e.list.EditCell().column, 0);
    EXPECT_EQ(e.list.GetItemText(1, 0), "t.mp3");  // closed saving before reopening
    EXPECT_EQ(e.Editor()->text(), "t.mp3");
    EXPECT_TRUE(e.Editor()->hasFocus());
}

TEST(ReportEdit, TabCyclesThroughEditableColumns) {
    EditList e;
    ASSERT_TRUE(e.list.AddEditableColumn(8));
    ASSERT_TRUE(e.list.AddEditableColumn(4));
    EXPECT_FALSE(e.list.AddEditableColumn(8));
    EXPECT_FALSE(e.list.AddEditableColumn(18));
    ASSERT_TRUE(e.list.BeginEdit(0, 0));
    e.Key(Qt::Key_Tab);
    EXPECT_EQ(e.list.EditCell().column, 8);
    e.Key(Qt::Key_Tab);
    EXPECT_EQ(e.list.EditCell().column, 4);
    e.Key(Qt::Key_Tab);
    EXPECT_EQ(e.list.EditCell().column, 0);
    e.Key(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(e.list.EditCell().column, 4);
}

TEST(ReportEdit, ScrollingClosesDiscardingAndDisablingClosesSaving) {
    EditList e(60);
    ASSERT_TRUE(e.list.BeginEdit(0, 0));
    QTest::keyClicks(e.Editor(), "lost");
    e.list.verticalScrollBar()->setValue(5);
    EXPECT_FALSE(e.list.IsEditOpen());
    EXPECT_EQ(e.list.GetItemText(0, 0), "song0.part.mp3");
    ASSERT_TRUE(e.list.BeginEdit(10, 0));
    QTest::keyClicks(e.Editor(), "kept");
    e.list.EnableEdit(false);
    EXPECT_FALSE(e.list.IsEditOpen());
    EXPECT_EQ(e.list.GetItemText(10, 0), "kept.mp3");
}

TEST(ReportEdit, BeginAndEndOutsideTheList) {
    EditList e;
    EXPECT_FALSE(e.list.BeginEdit(4, 0));
    EXPECT_FALSE(e.list.BeginEdit(0, 18));
    EXPECT_FALSE(e.list.BeginEdit(-1, 0));
    EXPECT_FALSE(e.list.EndEdit(true));
    EXPECT_TRUE(e.spy.renamed.empty());
    ASSERT_TRUE(e.list.BeginEdit(1, 0));
    EXPECT_TRUE(e.list.BeginEdit(1, 0));  // already editing that cell
    // Row changes close the editor: a deleted edited row discards.
    QTest::keyClicks(e.Editor(), "gone");
    e.list.DeleteItemEx(1);
    EXPECT_FALSE(e.list.IsEditOpen());
    EXPECT_TRUE(e.spy.renamed.empty());
}

TEST(ReportEdit, SpaceWithoutEditorChangesNothing) {
    EditList e;
    e.list.SetItemStateFlags(2, kStateSelected | kStateFocused);
    e.list.setFocus();
    const unsigned before = e.list.GetItemStateFlags(2);
    QTest::keyClick(&e.list, Qt::Key_Space);
    QTest::keyClick(&e.list, Qt::Key_Space, Qt::ControlModifier);  // would toggle the selection
    EXPECT_EQ(e.list.GetItemStateFlags(2), before);
    EXPECT_EQ(e.list.CountItemsByState(kStateSelected), 1);
    // In the editor, Space is typed.
    ASSERT_TRUE(e.list.BeginEdit(2, 0));
    QTest::keyClick(e.Editor(), Qt::Key_Space);
    EXPECT_EQ(e.Editor()->text(), " .mp3");
}

TEST(ReportHeaderMenu, EighteenItemsWithSeparatorsAndGreyedNameAndPath) {
    EditList e;
    QStringList texts;
    int separators = 0;
    struct Item { int column; bool enabled; bool checkable; bool checked; };
    std::vector<Item> items;
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        seen = true;
        const QList<QAction*> actions = menu->actions();
        for (QAction* a : actions) {
            if (a->isSeparator()) {
                texts << "|";
                ++separators;
            } else {
                texts << a->text();
                items.push_back({a->data().toInt(), a->isEnabled(), a->isCheckable(), a->isChecked()});
            }
        }
        // Choose "Album": the column is hidden.
        for (QAction* a : actions)
            if (a->text() == "Album") QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(a).center());
    });
    QHeaderView* header = e.list.header();
    const QPoint at(header->sectionViewportPosition(4) + 10, header->height() / 2);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, header->viewport()->mapToGlobal(at));
    QApplication::sendEvent(header->viewport(), &event);
    ASSERT_TRUE(seen);
    EXPECT_EQ(separators, 2);
    EXPECT_EQ(texts.size(), 20);
    EXPECT_EQ(texts.indexOf("|"), 3);   // after "Type"
    EXPECT_EQ(texts.lastIndexOf("|"), 13);  // after "Comment"
    EXPECT_EQ(texts[0], "Name");
    EXPECT_EQ(texts[19], "Bitrate");
    ASSERT_EQ(items.size(), 18u);
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].column, static_cast<int>(i));
        EXPECT_EQ(items[i].enabled, items[i].column >= 2) << i;
        EXPECT_TRUE(items[i].checkable);
        EXPECT_TRUE(items[i].checked);
    }
    EXPECT_FALSE(e.list.IsColumnVisible(6));
    EXPECT_EQ(e.list.GetColumnOrder()[0], 6);

    // The menu of a hidden column shows it unchecked; choosing it shows the column again.
    bool albumChecked = true;
    bool albumSeen = false;
    QTimer::singleShot(0, [&] {
        auto* again = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(again, nullptr);
        for (QAction* a : again->actions()) {
            if (a->isSeparator() || a->data().toInt() != 6) continue;
            albumSeen = true;
            albumChecked = a->isChecked();
            QTest::mouseClick(again, Qt::LeftButton, {}, again->actionGeometry(a).center());
        }
    });
    const QPoint nameAt(header->sectionViewportPosition(0) + 10, header->height() / 2);
    QContextMenuEvent second(QContextMenuEvent::Mouse, nameAt, header->viewport()->mapToGlobal(nameAt));
    QApplication::sendEvent(header->viewport(), &second);
    ASSERT_TRUE(albumSeen);
    EXPECT_FALSE(albumChecked);
    EXPECT_TRUE(e.list.IsColumnVisible(6));
}

TEST(ReportHeaderMenu, KeyboardOrListAreaRequestsOpenNoHeaderMenu) {
    EditList e;
    bool popup = false;
    QTimer::singleShot(0, [&] {
        if (QApplication::activePopupWidget()) {
            popup = true;
            QApplication::activePopupWidget()->close();
        }
    });
    QContextMenuEvent keyboard(QContextMenuEvent::Keyboard, QPoint(5, 5), QPoint(5, 5));
    QApplication::sendEvent(e.list.header()->viewport(), &keyboard);
    QContextMenuEvent rows(QContextMenuEvent::Mouse, e.CellCentre(0, 0), e.list.viewport()->mapToGlobal(e.CellCentre(0, 0)));
    QApplication::sendEvent(e.list.viewport(), &rows);
    QCoreApplication::processEvents();
    EXPECT_FALSE(popup);
    EXPECT_FALSE(rows.isAccepted());  // left to the owner's menu
}

namespace {

bool HasHintColour(const QImage& image) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) == qRgb(106, 106, 255)) return true;
    return false;
}

}  // namespace

TEST(ReportHints, EmptyListShowsTheHintOfTheTickCount) {
    CReportCtrl list;
    AddFileListColumns(list);
    list.resize(900, 400);
    list.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&list));
    uint32_t ticks = 0;
    CReportCtrl::SetTickSource([&] { return ticks; });
    // Hints off: nothing painted.
    QImage image = list.viewport()->grab().toImage();
    EXPECT_EQ(list.LastPaintedHint(), -1);
    EXPECT_FALSE(HasHintColour(image));

    list.EnableHints(true);
    image = list.viewport()->grab().toImage();
    EXPECT_EQ(list.LastPaintedHint(), 0);
    EXPECT_TRUE(HasHintColour(image));
    ticks = 3 * 6000 + 5999;
    list.viewport()->grab();
    EXPECT_EQ(list.LastPaintedHint(), 3);
    ticks = 4294967295u;  // wraps: (2^32 - 1) / 6000 = 715827, mod 10 = 7
    list.viewport()->grab();
    EXPECT_EQ(list.LastPaintedHint(), 7);
    EXPECT_EQ(CReportCtrl::HintText(0), "Drag & Drop files and folders here");
    EXPECT_EQ(CReportCtrl::HintText(8), "Click the column header to sort the file list");

    // With a row there is no hint.
    list.InsertItemEx(0, "a");
    image = list.viewport()->grab().toImage();
    EXPECT_EQ(list.LastPaintedHint(), -1);
    EXPECT_FALSE(HasHintColour(image));
    CReportCtrl::SetTickSource({});
}

TEST(ReportTheme, NoThemeLibraryYieldsOne) {
    CReportCtrl list;
    EXPECT_EQ(list.ApplyExplorerTheme(), 1);
    EXPECT_EQ(ApplyWindowTheme(&list, "ListView", "Explorer", nullptr), 1);
}
