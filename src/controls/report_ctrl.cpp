#include "controls/report_ctrl.h"

#include "controls/view_look.h"

#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"
#include "filelist/list_locked.h"
#include "filelist/natural_compare.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QStyleOptionHeader>
#include <QtEndian>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace velmora {

namespace {

std::function<uint32_t()>& TickSource() {
    static std::function<uint32_t()> source;
    return source;
}

// Every cell at least as tall as the row icons, in whichever columns are in view: the
// uniform row height is measured on the visible columns, and scrolled sideways past the icon
// column it would shrink to the text's height and clip the icons.
class ReportItemDelegate : public QStyledItemDelegate {
public:
    explicit ReportItemDelegate(CReportCtrl* view) : QStyledItemDelegate(view), view_(view) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(std::max(size.height(), view_->iconSize().height() + 2));
        return size;
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (view_->ColumnElidesInMiddle(index.column())) option->textElideMode = Qt::ElideMiddle;
    }

private:
    CReportCtrl* view_;
};

}  // namespace

// ---------------------------------------------------------------- header

CReportHeader::CReportHeader(CReportCtrl* list) : QHeaderView(Qt::Horizontal, list), list_(list) {}

void CReportHeader::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    const unsigned format = list_->GetHeaderItemFormat(logicalIndex);
    if (!(format & kHeaderFormatImage) || !(format & kHeaderFormatBitmapOnRight)) {
        QHeaderView::paintSection(painter, rect, logicalIndex);
        return;
    }
    // The mark sits right of the heading, which keeps its own alignment in the rest.
    QStyleOptionHeader opt;
    initStyleOption(&opt);
    initStyleOptionForIndex(&opt, logicalIndex);
    opt.rect = rect;
    const QIcon icon = opt.icon;
    opt.icon = QIcon();
    painter->save();
    style()->drawControl(QStyle::CE_HeaderSection, &opt, painter, this);
    QStyleOptionHeader label = opt;
    label.rect = style()->subElementRect(QStyle::SE_HeaderLabel, &opt, this);
    const int extent = style()->pixelMetric(QStyle::PM_SmallIconSize, &opt, this);
    const int margin = style()->pixelMetric(QStyle::PM_HeaderMargin, &opt, this);
    QRect iconRect(label.rect.right() - extent + 1, label.rect.center().y() - extent / 2, extent, extent);
    label.rect.setRight(iconRect.left() - margin);
    style()->drawControl(QStyle::CE_HeaderLabel, &label, painter, this);
    if (!icon.isNull()) icon.paint(painter, iconRect);
    painter->restore();
}

void CReportHeader::contextMenuEvent(QContextMenuEvent* event) { list_->OnContextMenu(event, true); }

// ---------------------------------------------------------------- construction

CReportCtrl::CReportCtrl(QWidget* parent) : QTreeView(parent), model_(new CReportModel(this)), header_(new CReportHeader(this)) {
    setHeader(header_);
    setModel(model_);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);  // lets the view lay out and paint only the visible rows
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSortingEnabled(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setIconSize(QSize(16, 16));
    setItemDelegate(new ReportItemDelegate(this));
    paletteText_ = WindowTextColor();
    paletteBase_ = WindowColor();
    header_->setStretchLastSection(false);
    header_->setSectionsMovable(true);
    header_->setSectionsClickable(true);
    header_->setMinimumSectionSize(0);
    header_->setSortIndicatorShown(false);
    header_->setFirstSectionMovable(true);

    // The divider double-click fits the column through the control's own hook.
    QObject::disconnect(header_, &QHeaderView::sectionHandleDoubleClicked, this, nullptr);
    connect(header_, &QHeaderView::sectionHandleDoubleClicked, this, [this](int column) { OnDividerDoubleClick(column); });
    connect(header_, &QHeaderView::sectionClicked, this, [this](int column) { OnColumnClick(column); });
    connect(header_, &QHeaderView::sectionMoved, this,
            [this](int column, int oldPosition, int newPosition) { OnEndDrag(column, oldPosition, newPosition); });
    connect(header_, &QHeaderView::sectionResized, this, [this](int column, int, int newSize) {
        // Hidden columns stay at width 0 whatever asks.
        if (ValidColumn(column) && !IsColumnVisible(column) && newSize != 0) header_->resizeSection(column, 0);
    });
    header_->viewport()->installEventFilter(this);

    auto closeOnScroll = [this](int) {
        if (editGuard_ == 0) EndEdit(false);
    };
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, closeOnScroll);
    connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, closeOnScroll);
}

CReportCtrl::~CReportCtrl() {
    // The rows go with their records; the owners' objects are the owners' to free.
    for (ReportRow& row : model_->TakeAllRows()) delete row.info;
}

QRgb CReportCtrl::WindowColor() const { return palette().color(QPalette::Base).rgb(); }
QRgb CReportCtrl::WindowTextColor() const { return palette().color(QPalette::Text).rgb(); }

// ---------------------------------------------------------------- rows

int CReportCtrl::InsertItemEx(int index, const QString& text, void* userData, int image, unsigned state) {
    EndEdit(true);
    if (index < 0) return -1;
    index = std::min(index, GetItemCount());
    const int columns = GetColumnCount();
    ReportRow row;
    row.texts.assign(static_cast<size_t>(columns), QString());
    row.images.assign(static_cast<size_t>(columns), -1);
    if (columns > 0) {
        row.texts[0] = text;
        row.images[0] = image;
    }
    row.info = new ReportItemInfo(userData, columns, WindowTextColor(), WindowColor());
    model_->InsertRow(index, std::move(row));
    if (state) SetItemStateFlags(index, state);
    return index;
}

void CReportCtrl::DeleteItemEx(int row, bool selectNext) {
    if (!ValidRow(row)) return;
    EndEdit(editCell_.row != row);
    if (!ValidRow(row)) return;  // the rename handler may have changed the list
    if (selectNext && ValidRow(row + 1))
        selectionModel()->select(CellIndex(row + 1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    ReportRow taken = model_->TakeRow(row);
    delete taken.info;
}

int CReportCtrl::DeleteItemsByState(unsigned mask) {
    EndEdit(false);
    const bool updates = updatesEnabled();
    setUpdatesEnabled(false);
    int deleted = 0;
    if (mask & kStateAll) {
        std::vector<ReportRow> rows = model_->TakeAllRows();
        for (ReportRow& row : rows) delete row.info;
        deleted = static_cast<int>(rows.size());
    } else if (mask != 0) {
        deleted = DeleteItems(GetItemsByState(mask));
    }
    setUpdatesEnabled(updates);
    viewport()->update();
    return deleted;
}

int CReportCtrl::DeleteItems(std::vector<int> rows) {
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    if (rows.empty()) return 0;
    // An edit of a row that stays is kept; one of a row that goes is dropped.
    EndEdit(!std::binary_search(rows.begin(), rows.end(), editCell_.row));
    // The rename handler may have changed the list.
    rows.erase(std::remove_if(rows.begin(), rows.end(), [this](int row) { return !ValidRow(row); }), rows.end());
    std::vector<ReportRow> taken = model_->TakeRows(rows);
    for (ReportRow& row : taken) delete row.info;
    return static_cast<int>(taken.size());
}

int CReportCtrl::MoveItem(int row, int target) {
    if (!ValidRow(row)) return -1;
    EndEdit(true);
    if (!ValidRow(row)) return -1;
    target = std::clamp(target, 0, GetItemCount() - 1);
    if (target == row) return target;
    // Texts, images, record, selection and focus move together.
    model_->MoveRow(row, target);
    return target;
}

int CReportCtrl::MoveItemBy(int row, int offset) {
    const long long target = static_cast<long long>(row) + offset;
    return MoveItem(row, static_cast<int>(std::clamp<long long>(target, INT_MIN, INT_MAX)));
}
int CReportCtrl::MoveItemToTop(int row) { return MoveItem(row, -1); }
int CReportCtrl::MoveItemToBottom(int row) { return MoveItem(row, INT_MAX); }

void CReportCtrl::SetItemTextEx(int row, int column, const QString& text) {
    EndEdit(true);
    if (ValidRow(row) && ValidColumn(column)) model_->SetText(row, column, text);
}

bool CReportCtrl::SetItemNumber(int row, int column, double value, int precision) {
    if (!ValidRow(row) || !ValidColumn(column)) return false;
    char buffer[512];
    if (precision >= 0) {
        char format[32];
        std::snprintf(format, sizeof format, "%%.%df", std::min(precision, 100));
        std::snprintf(buffer, sizeof buffer, format, value);
    } else {
        std::snprintf(buffer, sizeof buffer, "%f", value);
        size_t n = std::strlen(buffer);
        while (n > 0 && buffer[n - 1] == '0') buffer[--n] = '\0';
        while (n > 0 && buffer[n - 1] == '.') buffer[--n] = '\0';
    }
    SetItemTextEx(row, column, QString::fromLatin1(buffer));
    return true;
}

QString CReportCtrl::GetItemText(int row, int column) const {
    if (!ValidRow(row) || !ValidColumn(column)) return {};
    return model_->Row(row).texts[static_cast<size_t>(column)];
}

void CReportCtrl::SetItemImage(int row, int column, int image) {
    if (ValidRow(row) && ValidColumn(column)) model_->SetImage(row, column, image);
}

int CReportCtrl::GetItemImage(int row, int column) const {
    if (!ValidRow(row) || !ValidColumn(column)) return -1;
    return model_->Row(row).images[static_cast<size_t>(column)];
}

ReportItemInfo* CReportCtrl::GetItemInfo(int row) const { return ValidRow(row) ? model_->Row(row).info : nullptr; }

void* CReportCtrl::GetItemUserData(int row) const {
    ReportItemInfo* info = GetItemInfo(row);
    return info ? info->userData : nullptr;
}

bool CReportCtrl::SetItemUserData(int row, void* userData) {
    ReportItemInfo* info = GetItemInfo(row);
    if (!info) return false;
    info->userData = userData;
    return true;
}

int CReportCtrl::FindItemByUserData(const void* userData) const {
    for (int row = 0; row < GetItemCount(); ++row)
        if (model_->Row(row).info && model_->Row(row).info->userData == userData) return row;
    return -1;
}

std::vector<char> CReportCtrl::SelectedRows() const {
    std::vector<char> selected(static_cast<size_t>(GetItemCount()), 0);
    for (const QItemSelectionRange& range : selectionModel()->selection())
        for (int row = range.top(); row <= range.bottom(); ++row)
            if (row >= 0 && row < GetItemCount()) selected[static_cast<size_t>(row)] = 1;
    return selected;
}

unsigned CReportCtrl::FlagsOf(int row, const std::vector<char>& selected) const {
    return (selected[static_cast<size_t>(row)] ? kStateSelected : kStateNotSelected) | CheckAndFocusFlags(row);
}

unsigned CReportCtrl::CheckAndFocusFlags(int row) const {
    // The check bits follow the check boxes; a list without them reads as not checked.
    unsigned flags = (model_->ShowChecks() && model_->Row(row).checked) ? kStateChecked : kStateNotChecked;
    flags |= currentIndex().isValid() && currentIndex().row() == row ? kStateFocused : kStateNotFocused;
    return flags;
}

unsigned CReportCtrl::GetItemStateFlags(int row) const {
    if (!ValidRow(row)) return 0;
    unsigned flags = selectionModel()->isRowSelected(row, {}) ? kStateSelected : kStateNotSelected;
    flags |= (model_->ShowChecks() && model_->Row(row).checked) ? kStateChecked : kStateNotChecked;
    flags |= currentIndex().isValid() && currentIndex().row() == row ? kStateFocused : kStateNotFocused;
    return flags;
}

bool CReportCtrl::RowMatches(unsigned flags, unsigned mask) const {
    if (mask == 0) return false;
    if (mask & kStateAll) return true;
    return (flags & mask) == mask;
}

bool CReportCtrl::SetItemStateFlags(int row, unsigned flags) {
    if (flags == 0 || !ValidRow(row)) return false;
    const QModelIndex index = CellIndex(row, 0);
    if (flags & kStateSelected) selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    if (flags & kStateNotSelected) selectionModel()->select(index, QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    if ((flags & kStateChecked) && model_->ShowChecks()) model_->SetChecked(row, true);
    if ((flags & kStateNotChecked) && model_->ShowChecks()) model_->SetChecked(row, false);
    if (flags & kStateFocused) selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    if ((flags & kStateNotFocused) && currentIndex().isValid() && currentIndex().row() == row)
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    return true;
}

int CReportCtrl::CountItemsByState(unsigned mask) const {
    if (mask & kStateAll) return GetItemCount();
    if (mask == 0) return 0;
    const std::vector<char> selected = SelectedRows();
    int count = 0;
    for (int row = 0; row < GetItemCount(); ++row)
        if (RowMatches(FlagsOf(row, selected), mask)) ++count;
    return count;
}

int CReportCtrl::FindNextItemByState(unsigned mask, int start) const {
    if (mask == 0) return -1;
    const int count = GetItemCount();
    const int first = std::max(start, -1) + 1;
    if (first >= count) return -1;
    if (mask & kStateAll) return first;
    const bool wantSelected = mask & kStateSelected;
    const bool wantNotSelected = mask & kStateNotSelected;
    if (wantSelected && wantNotSelected) return -1;
    const unsigned rest = mask & ~(kStateSelected | kStateNotSelected);
    auto restMatches = [&](int row) { return (CheckAndFocusFlags(row) & rest) == rest; };
    // The selected runs from `first` on, merged and in order: the work follows the number of
    // runs and the rows passed over, never the whole list (callers step through the rows).
    std::vector<std::pair<int, int>> runs;
    for (const QItemSelectionRange& range : selectionModel()->selection()) {
        const int top = std::max(range.top(), first);
        const int bottom = std::min(range.bottom(), count - 1);
        if (top <= bottom) runs.emplace_back(top, bottom);
    }
    std::sort(runs.begin(), runs.end());
    int row = first;
    for (const auto& [top, bottom] : runs) {
        if (bottom < row) continue;  // already passed (overlapping runs)
        // Rows before this run are not selected.
        if (!wantSelected)
            for (; row < top; ++row)
                if (restMatches(row)) return row;
        row = std::max(row, top);
        if (wantNotSelected) {
            row = bottom + 1;
        } else {
            for (; row <= bottom; ++row)
                if (restMatches(row)) return row;
        }
    }
    if (!wantSelected)
        for (; row < count; ++row)
            if (restMatches(row)) return row;
    return -1;
}

std::vector<int> CReportCtrl::GetItemsByState(unsigned mask) const {
    std::vector<int> rows;
    if (mask == 0) return rows;
    const int count = GetItemCount();
    if (mask & kStateAll) {
        rows.resize(static_cast<size_t>(count));
        for (int row = 0; row < count; ++row) rows[static_cast<size_t>(row)] = row;
        return rows;
    }
    const std::vector<char> selected = SelectedRows();
    for (int row = 0; row < count; ++row)
        if (RowMatches(FlagsOf(row, selected), mask)) rows.push_back(row);
    return rows;
}

int CReportCtrl::ApplyStateFlags(unsigned mask, unsigned flags) {
    if (mask == 0 || flags == 0) return 0;
    const std::vector<char> selected = SelectedRows();
    std::vector<int> rows;
    for (int row = 0; row < GetItemCount(); ++row)
        if (RowMatches(FlagsOf(row, selected), mask)) rows.push_back(row);
    // Selection changes go to the selection model in one step, in contiguous ranges.
    QItemSelection ranges;
    for (size_t i = 0; i < rows.size();) {
        size_t j = i;
        while (j + 1 < rows.size() && rows[j + 1] == rows[j] + 1) ++j;
        ranges.select(CellIndex(rows[i], 0), CellIndex(rows[j], 0));
        i = j + 1;
    }
    if (flags & kStateSelected) selectionModel()->select(ranges, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    if (flags & kStateNotSelected) selectionModel()->select(ranges, QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    const unsigned rest = flags & ~(kStateSelected | kStateNotSelected);
    if (rest)
        for (int row : rows) SetItemStateFlags(row, rest);
    return static_cast<int>(rows.size());
}

void CReportCtrl::InvertStates(int which) {
    const int count = GetItemCount();
    if (count == 0) return;
    if (which == 0) {
        QItemSelection all(CellIndex(0, 0), CellIndex(count - 1, 0));
        selectionModel()->select(all, QItemSelectionModel::Toggle | QItemSelectionModel::Rows);
    } else if (which == 1 && model_->ShowChecks()) {
        for (int row = 0; row < count; ++row) model_->SetChecked(row, !model_->Row(row).checked);
    }
}

void CReportCtrl::SetCellBackColor(int row, int column, const QColor& color, bool repaint) {
    const QRgb value = color.isValid() ? color.rgb() : WindowColor();
    const int firstRow = ValidRow(row) ? row : 0;
    const int lastRow = ValidRow(row) ? row : GetItemCount() - 1;
    const int firstColumn = ValidColumn(column) ? column : 0;
    const int lastColumn = ValidColumn(column) ? column : GetColumnCount() - 1;
    for (int r = firstRow; r <= lastRow; ++r) {
        ReportItemInfo* info = model_->Row(r).info;
        if (!info) continue;
        for (int c = firstColumn; c <= lastColumn && c < static_cast<int>(info->backColors.size()); ++c)
            info->backColors[static_cast<size_t>(c)] = value;
    }
    model_->ColorsChanged(firstRow, lastRow, firstColumn, lastColumn);
    if (repaint) viewport()->repaint();
}

QRgb CReportCtrl::GetCellBackColor(int row, int column) const {
    const ReportItemInfo* info = GetItemInfo(row);
    if (!info || !ValidColumn(column) || static_cast<size_t>(column) >= info->backColors.size()) return 0;
    return info->backColors[static_cast<size_t>(column)];
}

QRgb CReportCtrl::GetCellTextColor(int row, int column) const {
    const ReportItemInfo* info = GetItemInfo(row);
    if (!info || !ValidColumn(column) || static_cast<size_t>(column) >= info->textColors.size()) return 0;
    return info->textColors[static_cast<size_t>(column)];
}

// ---------------------------------------------------------------- columns

int CReportCtrl::InsertColumnEx(int column, const QString& heading, int alignment, int width) {
    EndEdit(true);
    if (column < 0) return -1;
    column = std::min(column, GetColumnCount());
    ReportColumn col;
    col.heading = heading;
    col.format = alignment == 1 ? kHeaderFormatRight : alignment == 2 ? kHeaderFormatCenter : kHeaderFormatLeft;
    model_->InsertColumn(column, col, WindowTextColor(), WindowColor());
    // The insert hook: a state entry for the new header item.
    if (static_cast<int>(columnStates_.size()) < GetColumnCount()) {
        ColumnStateInfo state;
        state.restoreWidth = std::max(width, 0);
        columnStates_.insert(columnStates_.begin() + column, state);
    }
    header_->setSectionResizeMode(column, QHeaderView::Interactive);
    header_->resizeSection(column, std::max(width, 0));
    return column;
}

bool CReportCtrl::DeleteColumn(int column) {
    if (!ValidColumn(column)) return false;
    EndEdit(false);
    model_->RemoveColumn(column);
    if (static_cast<size_t>(column) < columnStates_.size()) columnStates_.erase(columnStates_.begin() + column);
    sortList_.erase(std::remove_if(sortList_.begin(), sortList_.end(), [&](const ColumnSortInfo& s) { return s.column == column; }),
                    sortList_.end());
    for (ColumnSortInfo& s : sortList_)
        if (s.column > column) --s.column;
    editableColumns_.erase(std::remove(editableColumns_.begin(), editableColumns_.end(), column), editableColumns_.end());
    for (int& c : editableColumns_)
        if (c > column) --c;
    return true;
}

QString CReportCtrl::GetColumnHeading(int column) const { return ValidColumn(column) ? model_->Column(column).heading : QString(); }

std::vector<int> CReportCtrl::GetColumnOrder() const {
    std::vector<int> order(static_cast<size_t>(GetColumnCount()));
    for (int p = 0; p < GetColumnCount(); ++p) order[static_cast<size_t>(p)] = header_->logicalIndex(p);
    return order;
}

void CReportCtrl::ApplyOrder(const std::vector<int>& order) {
    applyingOrder_ = true;
    for (int p = 0; p < static_cast<int>(order.size()); ++p) {
        const int from = header_->visualIndex(order[static_cast<size_t>(p)]);
        if (from != p) header_->moveSection(from, p);
    }
    applyingOrder_ = false;
}

int CReportCtrl::ShowColumn(int column, bool show) {
    if (!ValidColumn(column) || static_cast<size_t>(column) >= columnStates_.size()) return 0;
    ColumnStateInfo& state = columnStates_[static_cast<size_t>(column)];
    const bool updates = updatesEnabled();
    setUpdatesEnabled(false);
    const int n = GetColumnCount();
    std::vector<int> order = GetColumnOrder();
    int p = static_cast<int>(std::find(order.begin(), order.end(), column) - order.begin());
    if (!show) {
        // The hidden column goes to the front; the ones before it move one place right.
        std::rotate(order.begin(), order.begin() + p, order.begin() + p + 1);
        state.restoreBound = n;
    } else {
        int at = p;
        for (int q = p + 1; q < n; ++q) {
            if (q > state.restoreBound && IsColumnVisible(order[static_cast<size_t>(q)])) continue;
            std::swap(order[static_cast<size_t>(at)], order[static_cast<size_t>(q)]);
            at = q;
        }
    }
    ApplyOrder(order);
    if (show) {
        state.visible = 1;
        header_->showSection(column);
        header_->setSectionResizeMode(column, QHeaderView::Interactive);
        header_->resizeSection(column, std::max<int>(static_cast<int16_t>(state.restoreWidth), 0));
    } else {
        const int width = header_->sectionSize(column);
        header_->resizeSection(column, 0);
        state.visible = 0;
        state.restoreWidth = width;
        // Qt's hidden state keeps the divider out of reach of the mouse.
        header_->setSectionResizeMode(column, QHeaderView::Fixed);
        header_->hideSection(column);
    }
    setUpdatesEnabled(updates);
    viewport()->update();
    header_->viewport()->update();
    return 1;
}

bool CReportCtrl::IsColumnVisible(int column) const {
    if (column < 0 || static_cast<size_t>(column) >= columnStates_.size()) return false;
    return columnStates_[static_cast<size_t>(column)].visible != 0;
}

int CReportCtrl::GetColumnRestoreWidth(int column) const {
    if (column < 0 || static_cast<size_t>(column) >= columnStates_.size()) return 0;
    return columnStates_[static_cast<size_t>(column)].restoreWidth;
}

bool CReportCtrl::SetColumnWidth(int column, int width) {
    if (!ValidColumn(column) || !IsColumnVisible(column)) return false;
    header_->resizeSection(column, std::max(width, 0));
    return true;
}

int CReportCtrl::GetColumnWidth(int column) const {
    if (!ValidColumn(column) || !IsColumnVisible(column)) return 0;
    return header_->sectionSize(column);
}

int CReportCtrl::AutoSizeColumn(int column, bool useHeader) {
    const int first = column < 0 ? 0 : column;
    const int last = column < 0 ? GetColumnCount() - 1 : column;
    for (int c = first; c <= last; ++c) {
        if (!ValidColumn(c)) continue;
        int width = GetItemCount() > 0 ? sizeHintForColumn(c) : -1;
        if (useHeader || width <= 0) width = std::max(width, header_->sectionSizeHint(c));
        SetColumnWidth(c, width);  // refused for hidden columns
    }
    return 1;
}

int CReportCtrl::EnsureColumnVisible(int column, bool partialEnough) {
    if (!ValidColumn(column)) return 0;
    const int left = header_->sectionViewportPosition(column);
    const int right = left + header_->sectionSize(column);
    const int clientRight = viewport()->width();
    if (partialEnough && left < clientRight && right > 0) return 1;
    int delta = 0;
    if (clientRight >= right - left && left >= 0) {
        if (clientRight < right) delta = right - clientRight;
    } else {
        delta = left;
    }
    if (delta != 0) horizontalScrollBar()->setValue(horizontalScrollBar()->value() + delta);
    return 1;
}

bool CReportCtrl::SetHeaderImage(int column, int image, bool imageOnLeft) {
    if (!ValidColumn(column)) return false;
    if (model_->HeaderImageList().isEmpty()) model_->SetHeaderImageList(model_->ImageList());
    ReportColumn& col = model_->Column(column);
    col.format |= kHeaderFormatImage;
    if (!imageOnLeft) col.format |= kHeaderFormatBitmapOnRight;
    col.headerImage = image;
    model_->HeaderChanged(column);
    header_->viewport()->update();
    return true;
}

int CReportCtrl::GetHeaderImage(int column) const { return ValidColumn(column) ? model_->Column(column).headerImage : -1; }
unsigned CReportCtrl::GetHeaderItemFormat(int column) const { return ValidColumn(column) ? model_->Column(column).format : 0; }

bool CReportCtrl::HasHeader() const { return !isHeaderHidden(); }

bool CReportCtrl::SetHeaderClickable(bool on) {
    if (!HasHeader()) return false;
    header_->setSectionsClickable(on);
    header_->viewport()->repaint();
    return true;
}

int CReportCtrl::GetColumnEditAlign(int column) const {
    if (!HasHeader() || !ValidColumn(column)) return 0;
    const unsigned f = model_->Column(column).format;
    if (f & kHeaderFormatCenter) return 1;
    if (f & kHeaderFormatRight) return 2;
    return 0;
}

void CReportCtrl::SetExtendedStyleEx(unsigned bits) {
    extendedStyle_ = bits | 0x20 | 0x02;
    model_->SetShowChecks((extendedStyle_ & 0x04) != 0);
}

QList<QIcon> CReportCtrl::SortMarkIcons() {
    QList<QIcon> icons;
    for (int kind = 0; kind < 3; ++kind) {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::transparent);
        if (kind != 0) {
            QPainter p(&pixmap);
            p.setRenderHint(QPainter::Antialiasing);
            QPainterPath path;
            if (kind == 1) {  // ascending: a triangle pointing up
                path.moveTo(4, 10);
                path.lineTo(12, 10);
                path.lineTo(8, 5);
            } else {
                path.moveTo(4, 6);
                path.lineTo(12, 6);
                path.lineTo(8, 11);
            }
            path.closeSubpath();
            p.fillPath(path, QColor(96, 96, 96));
        }
        icons.append(QIcon(pixmap));
    }
    return icons;
}

// ---------------------------------------------------------------- sorting

void CReportCtrl::SetSortList(const std::vector<ColumnSortInfo>& list) {
    sortList_.assign(list.begin(), list.begin() + std::min<size_t>(list.size(), kMaxSortKeys));
}

void CReportCtrl::OnColumnClick(int column) {
    bool ascending = true;
    auto it = std::find_if(sortList_.begin(), sortList_.end(), [&](const ColumnSortInfo& s) { return s.column == column; });
    if (it != sortList_.end()) {
        const bool was = it->ascending != 0;
        // A click on the primary column flips it; a former secondary key keeps its direction.
        ascending = it == sortList_.begin() ? !was : was;
        sortList_.erase(it);
    }
    sortList_.insert(sortList_.begin(), ColumnSortInfo{column, ascending ? 1 : 0});
    while (sortList_.size() > static_cast<size_t>(kMaxSortKeys)) sortList_.pop_back();
    EndEdit(true);
    if (column < GetColumnCount() && HasHeader() && header_->sectionsClickable()) SortRows(0, GetItemCount() - 1, true);
}

void CReportCtrl::SortRows(int first, int last, bool highlight) {
    // The editor names a row by its place; after the sort that place holds another file.
    EndEdit(false);
    RaiseListLocked();
    const bool updates = updatesEnabled();
    setUpdatesEnabled(false);
    // An empty sort list has no primary key: nothing to sort by and nothing to report.
    if (!sortList_.empty()) {
        const ColumnSortInfo primary = sortList_.front();
        SortRowRange(first, last, primary.column, primary.ascending != 0);
        if (notifyTarget_) QCoreApplication::postEvent(notifyTarget_, new ReportSortedEvent(primary.column, primary.ascending != 0));
    }
    RecolorRows(highlight);
    setUpdatesEnabled(updates);
    LowerListLocked();
}

void CReportCtrl::SortRowRange(int first, int last, int column, bool ascending) {
    if (!(0 <= first && first < last && last < GetItemCount())) return;
    std::vector<int> rows(static_cast<size_t>(last - first + 1));
    for (int k = 0; k < static_cast<int>(rows.size()); ++k) rows[static_cast<size_t>(k)] = first + k;

    // Text keys of the sort columns, converted once per sort rather than once per comparison.
    textKeys_.assign(static_cast<size_t>(GetColumnCount()), {});
    auto prepare = [&](int c) {
        if (!ValidColumn(c) || !textKeys_[static_cast<size_t>(c)].empty()) return;
        auto& keys = textKeys_[static_cast<size_t>(c)];
        keys.resize(static_cast<size_t>(GetItemCount()));
        for (int r = first; r <= last; ++r) keys[static_cast<size_t>(r)] = model_->Row(r).texts[static_cast<size_t>(c)].toUtf8();
    };
    prepare(column);
    for (size_t d = 1; d < sortList_.size(); ++d) prepare(sortList_[d].column);
    sortRecords_.assign(static_cast<size_t>(GetItemCount()), nullptr);
    for (int r = first; r <= last; ++r) sortRecords_[static_cast<size_t>(r)] = static_cast<const FileItemInfo*>(GetItemUserData(r));

    QuickSort(rows, 0, static_cast<int>(rows.size()) - 1, column, ascending);
    textKeys_.clear();
    sortRecords_.clear();

    std::vector<int> order(rows.size());
    for (size_t k = 0; k < rows.size(); ++k) order[k] = rows[k] - first;
    // Each row is written once at its new place; selection, focus, colours and owner objects
    // travel with it.
    model_->ApplyOrder(first, order);
}

void CReportCtrl::QuickSort(std::vector<int>& rows, int lo, int hi, int column, bool ascending) const {
    for (;;) {
        const int pivot = rows[static_cast<size_t>((lo + hi) / 2)];
        int i = lo;
        int j = hi;
        do {
            if (ascending) {
                while (CompareRows(rows[static_cast<size_t>(i)], pivot, column, 0) < 0) ++i;
                while (CompareRows(rows[static_cast<size_t>(j)], pivot, column, 0) > 0) --j;
            } else {
                while (CompareRows(rows[static_cast<size_t>(i)], pivot, column, 0) > 0) ++i;
                while (CompareRows(rows[static_cast<size_t>(j)], pivot, column, 0) < 0) --j;
            }
            if (j < i) break;
            if (i != j) std::swap(rows[static_cast<size_t>(i)], rows[static_cast<size_t>(j)]);
            ++i;
            --j;
        } while (j >= i);
        if (lo < j) QuickSort(rows, lo, j, column, ascending);
        if (i < hi) {
            lo = i;
            continue;
        }
        break;
    }
}

const QByteArray& CReportCtrl::TextKey(int row, int column) const {
    if (static_cast<size_t>(column) < textKeys_.size()) {
        const auto& keys = textKeys_[static_cast<size_t>(column)];
        if (static_cast<size_t>(row) < keys.size()) return keys[static_cast<size_t>(row)];
    }
    scratchKey_ = model_->Row(row).texts[static_cast<size_t>(column)].toUtf8();
    return scratchKey_;
}

int CReportCtrl::CompareRows(int a, int b, int column, int depth) const {
    if (!ValidRow(a) || !ValidRow(b) || !ValidColumn(column)) return 0;
    static const FileItemInfo kNoRecord;
    auto record = [&](int row) -> const FileItemInfo& {
        const void* data = static_cast<size_t>(row) < sortRecords_.size() ? sortRecords_[static_cast<size_t>(row)] : GetItemUserData(row);
        return data ? *static_cast<const FileItemInfo*>(data) : kNoRecord;
    };
    auto cmp = [](double x, double y) { return x < y ? -1 : (x > y ? 1 : 0); };
    int result = 0;
    switch (column) {
    case kColTrack: {
        const FileItemInfo& x = record(a);
        const FileItemInfo& y = record(b);
        result = cmp(x.trackNumber, y.trackNumber);
        if (result == 0) result = cmp(x.trackCount, y.trackCount);
        break;
    }
    case kColSize: result = cmp(record(a).sizeMB, record(b).sizeMB); break;
    case kColFrequency: result = cmp(static_cast<uint32_t>(record(a).sampleRate), static_cast<uint32_t>(record(b).sampleRate)); break;
    case kColChannel: result = cmp(static_cast<uint32_t>(record(a).channels), static_cast<uint32_t>(record(b).channels)); break;
    case kColBitrate: result = cmp(static_cast<uint32_t>(record(a).bitrate), static_cast<uint32_t>(record(b).bitrate)); break;
    default: {
        // UTF-8 bytes compared as unsigned values, case-sensitive; digit runs by value when asked.
        const QByteArray x = TextKey(a, column);  // a copy: the second lookup may reuse the scratch key
        const QByteArray& y = TextKey(b, column);
        result = CompareNames(std::string_view(x.constData(), static_cast<size_t>(x.size())),
                              std::string_view(y.constData(), static_cast<size_t>(y.size())), naturalTextOrder_);
        break;
    }
    }
    if (result == 0 && static_cast<size_t>(depth + 1) < sortList_.size())
        return CompareRows(a, b, sortList_[static_cast<size_t>(depth + 1)].column, depth + 1);
    return result;
}

void CReportCtrl::RecolorRows(bool highlight) {
    rowsTinted_ = highlight;
    const bool updates = updatesEnabled();
    setUpdatesEnabled(false);
    const int sorted = sortList_.empty() ? -1 : sortList_.front().column;
    const QRgb shades[2][2] = {{ListRowShade(palette(), false, false).rgb(), ListRowShade(palette(), false, true).rgb()},
                               {ListRowShade(palette(), true, false).rgb(), ListRowShade(palette(), true, true).rgb()}};
    const int rows = GetItemCount();
    for (int r = 0; r < rows; ++r) {
        ReportItemInfo* info = model_->Row(r).info;
        if (!info) continue;
        const int odd = r & 1;
        for (size_t c = 0; c < info->backColors.size(); ++c)
            info->backColors[c] = shades[odd][highlight && static_cast<int>(c) == sorted ? 1 : 0];
    }
    if (rows > 0) model_->ColorsChanged(0, rows - 1, 0, GetColumnCount() - 1);
    setUpdatesEnabled(updates);
    viewport()->update();
}

// ---------------------------------------------------------------- stored layout

QByteArray CReportCtrl::ColumnStateBlob() const {
    QByteArray blob;
    for (int c = 0; c < GetColumnCount(); ++c) {
        const bool visible = IsColumnVisible(c);
        const int32_t fields[2] = {qToLittleEndian<int32_t>(visible ? 1 : 0),
                                   qToLittleEndian<int32_t>(visible ? GetColumnWidth(c) : GetColumnRestoreWidth(c))};
        blob.append(reinterpret_cast<const char*>(fields), sizeof fields);
    }
    return blob;
}

QByteArray CReportCtrl::SortListBlob() const {
    QByteArray blob;
    for (const ColumnSortInfo& s : sortList_) {
        const int32_t fields[2] = {qToLittleEndian<int32_t>(s.column), qToLittleEndian<int32_t>(s.ascending)};
        blob.append(reinterpret_cast<const char*>(fields), sizeof fields);
    }
    return blob;
}

std::vector<ColumnSortInfo> CReportCtrl::ParseSortListBlob(const QByteArray& blob, int columnCount) {
    std::vector<ColumnSortInfo> list;
    for (qsizetype at = 0; at + 8 <= blob.size() && list.size() < static_cast<size_t>(kMaxSortKeys); at += 8) {
        const int32_t column = qFromLittleEndian<int32_t>(blob.constData() + at);
        const int32_t ascending = qFromLittleEndian<int32_t>(blob.constData() + at + 4);
        if (column < 0 || column >= columnCount) continue;
        if (std::any_of(list.begin(), list.end(), [&](const ColumnSortInfo& s) { return s.column == column; })) continue;
        list.push_back({column, ascending != 0 ? 1 : 0});
    }
    if (list.empty()) list.push_back({0, 1});
    return list;
}

std::vector<CReportCtrl::StoredColumn> CReportCtrl::ParseColumnBlob(const QByteArray& blob, int columnCount) {
    std::vector<StoredColumn> columns;
    for (qsizetype at = 0; at + 8 <= blob.size() && columns.size() < static_cast<size_t>(columnCount); at += 8) {
        const int32_t visible = qFromLittleEndian<int32_t>(blob.constData() + at);
        const int32_t width = qFromLittleEndian<int32_t>(blob.constData() + at + 4);
        columns.push_back({visible != 0, std::max(width, 0)});
    }
    return columns;
}

// ---------------------------------------------------------------- hints

void CReportCtrl::EnableHints(bool on) {
    hints_ = on;
    viewport()->update();
}

int CReportCtrl::HintNumber(uint32_t ticks) { return static_cast<int>((ticks / 6000u) % 10u); }

QString CReportCtrl::HintText(int number) {
    static const char* const kHints[10] = {
        "Drag & Drop files and folders here",
        "Add files by clicking the \"Add Files\" toolbar button",
        "Add folder by clicking the \"Add Folder\" toolbar button",
        "Add subfolders by clicking the \"Add SubFolders\" toolbar button",
        "When you select one folder of the left folder tree, press the CTRL key at the same time, the soft will search and "
        "add all audio files in the subfolders",
        "When you select one folder of the left folder tree, press the SHIFT key at the same time, the soft will NOT clear "
        "the existing file list",
        "You can drag & drop files in the file list to Windows Explorer to copy these files",
        "Right click items in the file list and click the floating popup menu to perform various file operations",
        "Click the column header to sort the file list",
        "Right click the column header and click the floating popup menu to show/hide columns",
    };
    if (number < 0 || number > 9) return {};
    return QString::fromLatin1(kHints[number]);
}

uint32_t CReportCtrl::TickCount() {
    if (TickSource()) return TickSource()();
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void CReportCtrl::SetTickSource(std::function<uint32_t()> source) { TickSource() = std::move(source); }

void CReportCtrl::PaintHint() {
    QPainter painter(viewport());
    painter.save();
    QRect area = viewport()->rect();  // the viewport already starts below the header
    const int number = HintNumber(TickCount());
    lastPaintedHint_ = number;
    const QString text = HintText(number);
    QFont font(QStringLiteral("Trebuchet MS"));
    font.setPointSizeF(15.6);
    painter.setFont(font);
    const int lineHeight = QFontMetrics(font).height();
    area.setTop(area.top() + area.height() / 2 - lineHeight);
    painter.setPen(HintTextColour(palette()));
    painter.setBackground(palette().color(QPalette::Base));
    painter.setBackgroundMode(Qt::OpaqueMode);
    painter.drawText(area, Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, text);
    painter.restore();
}

void CReportCtrl::paintEvent(QPaintEvent* event) {
    QTreeView::paintEvent(event);
    lastPaintedHint_ = -1;
    if (hints_ && GetItemCount() == 0) PaintHint();
}

void CReportCtrl::resizeEvent(QResizeEvent* event) {
    QTreeView::resizeEvent(event);
    viewport()->update();  // the hint is centred on the whole area
}

// ---------------------------------------------------------------- header menu

QMenu* CReportCtrl::BuildHeaderMenu() {
    auto* menu = new QMenu(this);
    for (int c = 0; c < GetColumnCount(); ++c) {
        if (c == 3 || c == 12) menu->addSeparator();
        QAction* action = menu->addAction(GetColumnHeading(c).left(511));
        action->setData(c);
        action->setCheckable(true);
        action->setChecked(IsColumnVisible(c));
        action->setEnabled(c >= 2);  // "Name" and "Path" can never be hidden from the menu
    }
    return menu;
}

void CReportCtrl::OnContextMenu(QContextMenuEvent* event, bool fromHeader) {
    // From the keyboard, or over the rows: the owner's menu, not the header's.
    if (event->reason() == QContextMenuEvent::Keyboard || !fromHeader || !HasHeader()) {
        event->ignore();
        return;
    }
    event->accept();
    QMenu* menu = BuildHeaderMenu();
    QAction* chosen = menu->exec(event->globalPos());
    if (chosen && chosen->data().isValid()) {
        const int column = chosen->data().toInt();
        ShowColumn(column, !IsColumnVisible(column));
    }
    delete menu;
}

void CReportCtrl::contextMenuEvent(QContextMenuEvent* event) { OnContextMenu(event, false); }

// ---------------------------------------------------------------- look

void CReportCtrl::SetColumnElidesInMiddle(int column) {
    if (!ColumnElidesInMiddle(column)) middleElided_.push_back(column);
    viewport()->update();
}

bool CReportCtrl::ColumnElidesInMiddle(int column) const {
    return std::find(middleElided_.begin(), middleElided_.end(), column) != middleElided_.end();
}

void CReportCtrl::changeEvent(QEvent* event) {
    QTreeView::changeEvent(event);
    if (event->type() != QEvent::PaletteChange) return;
    // Cells in the old palette's text and base colours take the new ones; the row shades are
    // made anew from the new palette.
    const QRgb text = WindowTextColor(), base = WindowColor();
    for (int r = 0; r < GetItemCount(); ++r) {
        ReportItemInfo* info = model_->Row(r).info;
        if (!info) continue;
        for (QRgb& c : info->textColors)
            if (c == paletteText_) c = text;
        for (QRgb& c : info->backColors)
            if (c == paletteBase_) c = base;
    }
    paletteText_ = text;
    paletteBase_ = base;
    RecolorRows(rowsTinted_);
}

void CReportCtrl::drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QTreeView::drawRow(painter, option, index);
    // The focused row shows itself while the list has the focus, selected or not.
    if (hasFocus() && index.row() == currentIndex().row())
        PaintFocusFrame(*painter,
                        QRect(-horizontalOffset(), option.rect.top(), header_->length(), option.rect.height())
                            .intersected(viewport()->rect()),
                        palette(), selectionModel()->isRowSelected(index.row(), {}));
}

// ---------------------------------------------------------------- header hooks

void CReportCtrl::OnDividerDoubleClick(int column) { AutoSizeColumn(column, false); }

bool CReportCtrl::OnBeginTrack(int column) {
    EndEdit(false);
    return !IsColumnVisible(column);  // true refuses the drag
}

void CReportCtrl::OnEndDrag(int column, int oldPosition, int newPosition) {
    if (applyingOrder_) return;
    EndEdit(false);
    // Hidden columns sit at the front of the display order; nothing lands before them.
    std::vector<int> order = GetColumnOrder();
    order.erase(std::find(order.begin(), order.end(), column));
    int firstVisible = 0;
    while (firstVisible < static_cast<int>(order.size()) && !IsColumnVisible(order[static_cast<size_t>(firstVisible)]))
        ++firstVisible;
    if (newPosition < firstVisible) {
        applyingOrder_ = true;
        header_->moveSection(newPosition, firstVisible);
        applyingOrder_ = false;
    }
    (void)oldPosition;
}

int CReportCtrl::DividerAt(int x) const {
    const int grip = std::max(2, style()->pixelMetric(QStyle::PM_HeaderGripMargin, nullptr, header_));
    int best = -1;
    int bestDistance = grip + 1;
    for (int c = 0; c < GetColumnCount(); ++c) {
        const int edge = header_->sectionViewportPosition(c) + header_->sectionSize(c);
        const int distance = std::abs(x - edge);
        if (distance <= grip && distance < bestDistance) {
            best = c;
            bestDistance = distance;
        }
    }
    return best;
}

// ---------------------------------------------------------------- editing

void CReportCtrl::EnableEdit(bool on) {
    if (!on) EndEdit(true);
    editEnabled_ = on;
}

bool CReportCtrl::AddEditableColumn(int column) {
    if (!ValidColumn(column)) return false;
    if (std::find(editableColumns_.begin(), editableColumns_.end(), column) != editableColumns_.end()) return false;
    editableColumns_.push_back(column);
    return true;
}

bool CReportCtrl::IsEditOpen() const { return ValidRow(editCell_.row) && ValidColumn(editCell_.column); }

QRect CReportCtrl::EditorRect(int row, int column) const {
    QRect rect = visualRect(CellIndex(row, column));
    // The label starts right of the cell's image.
    const int image = GetItemImage(row, column);
    if (image >= 0 && image < model_->ImageList().size()) rect.setLeft(rect.left() + iconSize().width() + 4);
    return rect;
}

bool CReportCtrl::BeginEdit(int row, int column) {
    if (!ValidRow(row) || !ValidColumn(column)) return false;
    if (IsEditOpen() && editCell_.row == row && editCell_.column == column) return true;
    EndEdit(true);
    if (!ValidRow(row) || !ValidColumn(column)) return false;  // the rename handler changed the list
    ++editGuard_;
    editCell_ = {row, column};
    selectionModel()->setCurrentIndex(CellIndex(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);

    const int alignment = GetColumnEditAlign(column);
    if (!editor_) {
        editor_ = new QLineEdit(viewport());
        editor_->hide();
        editor_->setFrame(true);
        editor_->installEventFilter(this);
    }
    // One editor serves every alignment: its alignment is set rather than the window re-created.
    editorAlign_ = alignment;
    editor_->setAlignment(alignment == 1 ? Qt::AlignHCenter : alignment == 2 ? Qt::AlignRight : Qt::AlignLeft);
    editor_->setFont(font());

    const QString text = GetItemText(row, column);
    editor_->setText(text);
    editor_->setGeometry(EditorRect(row, column));
    editor_->show();
    const qsizetype dot = text.lastIndexOf(QLatin1Char('.'));
    editor_->setSelection(0, static_cast<int>(dot >= 0 ? dot : text.size()));
    editor_->setFocus(Qt::OtherFocusReason);
    editor_->setGeometry(EditorRect(row, column));
    if (column == 0) preEditText_ = text;
    --editGuard_;
    return true;
}

bool CReportCtrl::EndEdit(bool save) {
    if (!IsEditOpen()) {
        editCell_ = {-1, -1};
        if (editor_ && editor_->isVisible()) editor_->hide();
        return false;
    }
    const QString text = editor_ ? editor_->text() : QString();
    const bool changed = save && editor_ && text != GetItemText(editCell_.row, editCell_.column);
    if (changed) {
        model_->SetText(editCell_.row, editCell_.column, text);
        if (notifyTarget_) {
            ReportRenamedEvent renamed(&editCell_, this);
            QCoreApplication::sendEvent(notifyTarget_, &renamed);
        }
    }
    const bool hadFocus = editor_ && editor_->hasFocus();
    if (editor_) editor_->hide();
    editCell_ = {-1, -1};
    if (hadFocus) setFocus(Qt::OtherFocusReason);
    return changed;
}

int CReportCtrl::ApplyExplorerTheme() { return ApplyWindowTheme(this, "ListView", "Explorer", nullptr); }

int ApplyWindowTheme(QWidget*, const char*, const char*, const char*) { return 1; }

// ---------------------------------------------------------------- keys and mouse

bool CReportCtrl::PreTranslateKey(QKeyEvent* event, bool dryRun) {
    const int key = event->key();
    if (!IsEditOpen()) {
        // Space never reaches the list, whatever modifier is held.
        return key == Qt::Key_Space;
    }
    const int row = editCell_.row;
    const int column = editCell_.column;
    switch (key) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab: {
        if (dryRun) return true;
        const int n = static_cast<int>(editableColumns_.size());
        int next = column;
        if (n > 0) {
            auto it = std::find(editableColumns_.begin(), editableColumns_.end(), column);
            const int k = it == editableColumns_.end() ? 0 : static_cast<int>(it - editableColumns_.begin());
            const bool back = key == Qt::Key_Backtab || (event->modifiers() & Qt::ShiftModifier);
            next = editableColumns_[static_cast<size_t>(back ? (n + k - 1) % n : (k + 1) % n)];
        }
        EndEdit(true);
        EnsureColumnVisible(next, false);
        BeginEdit(row, next);
        return true;
    }
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!dryRun) EndEdit(true);
        return true;
    case Qt::Key_Escape:
        if (!dryRun) EndEdit(false);
        return true;
    case Qt::Key_Up: {
        if (dryRun) return true;
        const int count = GetItemCount();
        const int target = (count + row - 1) % count;
        EndEdit(true);
        if (ValidRow(target)) {
            scrollTo(CellIndex(target, column));
            BeginEdit(target, column);
        }
        return true;
    }
    case Qt::Key_Down: {
        if (dryRun) return true;
        EndEdit(true);
        const int count = GetItemCount();
        if (count > 0) {
            const int target = (row + 1) % count;
            scrollTo(CellIndex(target, column));
            BeginEdit(target, column);
        }
        return true;
    }
    default:
        return false;
    }
}

bool CReportCtrl::event(QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        if (PreTranslateKey(static_cast<QKeyEvent*>(event), false)) return true;
    } else if (event->type() == QEvent::ShortcutOverride) {
        if (PreTranslateKey(static_cast<QKeyEvent*>(event), true)) {
            event->accept();
            return true;
        }
    }
    return QTreeView::event(event);
}

bool CReportCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (editor_ && watched == editor_) {
        if (event->type() == QEvent::KeyPress) {
            if (PreTranslateKey(static_cast<QKeyEvent*>(event), false)) return true;
        } else if (event->type() == QEvent::ShortcutOverride) {
            if (PreTranslateKey(static_cast<QKeyEvent*>(event), true)) {
                event->accept();
                return true;
            }
        }
        return false;
    }
    if (watched == header_->viewport() && event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        const int column = DividerAt(mouse->position().toPoint().x());
        if (column >= 0 && OnBeginTrack(column)) return true;
    }
    return QTreeView::eventFilter(watched, event);
}

void CReportCtrl::keyPressEvent(QKeyEvent* event) { OnKeyDown(event); }

void CReportCtrl::OnKeyDown(QKeyEvent* event) {
    if (event->key() == Qt::Key_Plus && (event->modifiers() & Qt::ControlModifier) && (event->modifiers() & Qt::KeypadModifier)) {
        AutoSizeColumn(-1, false);
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void CReportCtrl::HandleMouseButton(QMouseEvent* event, bool doubleClick) {
    if (event->button() != Qt::LeftButton) {
        EndEdit(true);
        doubleClick ? QTreeView::mouseDoubleClickEvent(event) : QTreeView::mousePressEvent(event);
        return;
    }
    const bool wasOpen = IsEditOpen();
    EndEdit(true);
    const QModelIndex index = indexAt(event->position().toPoint());
    const bool wasSelectedAndFocused = index.isValid() && selectionModel()->isRowSelected(index.row(), {}) &&
                                       currentIndex().isValid() && currentIndex().row() == index.row();
    doubleClick ? QTreeView::mouseDoubleClickEvent(event) : QTreeView::mousePressEvent(event);
    if (editEnabled_ && !wasOpen && wasSelectedAndFocused &&
        std::find(editableColumns_.begin(), editableColumns_.end(), index.column()) != editableColumns_.end())
        BeginEdit(index.row(), index.column());
}

void CReportCtrl::mousePressEvent(QMouseEvent* event) { HandleMouseButton(event, false); }
void CReportCtrl::mouseDoubleClickEvent(QMouseEvent* event) { HandleMouseButton(event, true); }

void CReportCtrl::wheelEvent(QWheelEvent* event) {
    EndEdit(false);
    QTreeView::wheelEvent(event);
}

}  // namespace velmora
