#include "controls/report_model.h"

#include <QColor>

#include <algorithm>

namespace velmora {

CReportModel::CReportModel(QObject* parent) : QAbstractTableModel(parent) {
    announceTimer_.setSingleShot(true);
    announceTimer_.setInterval(kHeldAppendMs);
    connect(&announceTimer_, &QTimer::timeout, this, [this] { AnnounceRows(); });
}

int CReportModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : announced_; }
int CReportModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount(); }

Qt::ItemFlags CReportModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren | Qt::ItemIsDragEnabled;
    if (showChecks_ && index.column() == 0) f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant CReportModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= announced_ || index.column() >= ColumnCount()) return {};
    const ReportRow& r = Row(index.row());
    const size_t c = static_cast<size_t>(index.column());
    switch (role) {
    case Qt::DisplayRole:
        return r.texts[c];
    case Qt::DecorationRole: {
        const int image = r.images[c];
        if (image >= 0 && image < images_.size()) return images_[image];
        return {};
    }
    case Qt::TextAlignmentRole: {
        const unsigned f = Column(index.column()).format & 0x3;
        if (f == kHeaderFormatRight) return int(Qt::AlignRight | Qt::AlignVCenter);
        if (f == kHeaderFormatCenter) return int(Qt::AlignHCenter | Qt::AlignVCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    }
    case Qt::BackgroundRole:
        if (r.info && c < r.info->backColors.size()) return QColor::fromRgb(r.info->backColors[c]);
        return {};
    case Qt::ForegroundRole:
        if (r.info && c < r.info->textColors.size()) return QColor::fromRgb(r.info->textColors[c]);
        return {};
    case Qt::CheckStateRole:
        if (showChecks_ && c == 0) return r.checked ? Qt::Checked : Qt::Unchecked;
        return {};
    default:
        return {};
    }
}

QVariant CReportModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount()) return {};
    const ReportColumn& col = Column(section);
    switch (role) {
    case Qt::DisplayRole:
        return col.heading;
    case Qt::DecorationRole:
        if ((col.format & kHeaderFormatImage) && col.headerImage >= 0 && col.headerImage < headerImages_.size())
            return headerImages_[col.headerImage];
        return {};
    case Qt::TextAlignmentRole: {
        const unsigned f = col.format & 0x3;
        if (f == kHeaderFormatRight) return int(Qt::AlignRight | Qt::AlignVCenter);
        if (f == kHeaderFormatCenter) return int(Qt::AlignHCenter | Qt::AlignVCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    }
    default:
        return {};
    }
}

void CReportModel::InsertRow(int index, ReportRow row) {
    if (holdAppends_ && index == RowCount()) {
        rows_.push_back(std::move(row));
        if (!announceTimer_.isActive()) announceTimer_.start();
        return;
    }
    AnnounceRows();
    beginInsertRows({}, index, index);
    rows_.insert(rows_.begin() + index, std::move(row));
    ++announced_;
    endInsertRows();
}

void CReportModel::HoldAppends(bool hold) {
    holdAppends_ = hold;
    if (!hold) AnnounceRows();
}

void CReportModel::AnnounceRows() {
    announceTimer_.stop();
    if (announced_ >= RowCount()) return;
    // The held rows are already in place; the views learn of them only now, and rowCount()
    // reports them only between the two calls.
    beginInsertRows({}, announced_, RowCount() - 1);
    announced_ = RowCount();
    endInsertRows();
}

ReportRow CReportModel::TakeRow(int index) {
    AnnounceRows();
    beginRemoveRows({}, index, index);
    ReportRow row = std::move(rows_[static_cast<size_t>(index)]);
    rows_.erase(rows_.begin() + index);
    --announced_;
    endRemoveRows();
    return row;
}

std::vector<ReportRow> CReportModel::TakeRows(const std::vector<int>& indexes) {
    std::vector<ReportRow> taken(indexes.size());
    if (indexes.empty()) return taken;
    AnnounceRows();
    // From the last run back, so the earlier runs keep their indexes; each run is one erase
    // and one notice to the views.
    size_t end = indexes.size();
    while (end > 0) {
        size_t begin = end - 1;
        while (begin > 0 && indexes[begin - 1] + 1 == indexes[begin]) --begin;
        const int first = indexes[begin];
        const int last = indexes[end - 1];
        beginRemoveRows({}, first, last);
        for (size_t k = begin; k < end; ++k) taken[k] = std::move(rows_[static_cast<size_t>(indexes[k])]);
        rows_.erase(rows_.begin() + first, rows_.begin() + last + 1);
        announced_ -= last - first + 1;
        endRemoveRows();
        end = begin;
    }
    return taken;
}

std::vector<ReportRow> CReportModel::TakeAllRows() {
    announceTimer_.stop();
    beginResetModel();
    std::vector<ReportRow> rows;
    rows.swap(rows_);
    announced_ = 0;
    endResetModel();
    return rows;
}

void CReportModel::MoveRow(int from, int to) {
    if (from == to) return;
    AnnounceRows();
    // The destination index of the model is the row before which the moved row lands.
    const int destination = to > from ? to + 1 : to;
    beginMoveRows({}, from, from, {}, destination);
    ReportRow row = std::move(rows_[static_cast<size_t>(from)]);
    rows_.erase(rows_.begin() + from);
    rows_.insert(rows_.begin() + to, std::move(row));
    endMoveRows();
}

void CReportModel::ApplyOrder(int first, const std::vector<int>& order) {
    const int n = static_cast<int>(order.size());
    if (n == 0) return;
    AnnounceRows();
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<ReportRow> moved;
    moved.reserve(order.size());
    for (int k = 0; k < n; ++k) moved.push_back(std::move(rows_[static_cast<size_t>(first + order[k])]));
    for (int k = 0; k < n; ++k) rows_[static_cast<size_t>(first + k)] = std::move(moved[static_cast<size_t>(k)]);
    // Where each old row went.
    std::vector<int> newPlace(order.size());
    for (int k = 0; k < n; ++k) newPlace[static_cast<size_t>(order[k])] = first + k;
    const QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& index : from) {
        const int row = index.row();
        if (row >= first && row < first + n)
            to.append(createIndex(newPlace[static_cast<size_t>(row - first)], index.column()));
        else
            to.append(index);
    }
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void CReportModel::InsertColumn(int index, ReportColumn column, QRgb textColor, QRgb backColor) {
    AnnounceRows();
    beginInsertColumns({}, index, index);
    columns_.insert(columns_.begin() + index, std::move(column));
    for (ReportRow& row : rows_) {
        row.texts.insert(row.texts.begin() + index, QString());
        row.images.insert(row.images.begin() + index, -1);
        if (row.info) {
            row.info->textColors.insert(row.info->textColors.begin() + index, textColor);
            row.info->backColors.insert(row.info->backColors.begin() + index, backColor);
        }
    }
    endInsertColumns();
}

void CReportModel::RemoveColumn(int index) {
    AnnounceRows();
    beginRemoveColumns({}, index, index);
    columns_.erase(columns_.begin() + index);
    for (ReportRow& row : rows_) {
        row.texts.erase(row.texts.begin() + index);
        row.images.erase(row.images.begin() + index);
        if (row.info) {
            if (static_cast<size_t>(index) < row.info->textColors.size())
                row.info->textColors.erase(row.info->textColors.begin() + index);
            if (static_cast<size_t>(index) < row.info->backColors.size())
                row.info->backColors.erase(row.info->backColors.begin() + index);
        }
    }
    endRemoveColumns();
}

void CReportModel::SetText(int row, int column, const QString& text) {
    Row(row).texts[static_cast<size_t>(column)] = text;
    if (row >= announced_) return;  // a held row: the views read it when it is announced
    const QModelIndex i = index(row, column);
    emit dataChanged(i, i, {Qt::DisplayRole});
}

void CReportModel::SetImage(int row, int column, int image) {
    Row(row).images[static_cast<size_t>(column)] = image;
    if (row >= announced_) return;
    const QModelIndex i = index(row, column);
    emit dataChanged(i, i, {Qt::DecorationRole});
}

void CReportModel::SetChecked(int row, bool checked) {
    Row(row).checked = checked;
    if (row >= announced_) return;
    const QModelIndex i = index(row, 0);
    emit dataChanged(i, i, {Qt::CheckStateRole});
}

void CReportModel::SetShowChecks(bool on) {
    if (showChecks_ == on) return;
    showChecks_ = on;
    if (announced_ > 0) emit dataChanged(index(0, 0), index(announced_ - 1, 0), {Qt::CheckStateRole});
}

void CReportModel::HeaderChanged(int column) { emit headerDataChanged(Qt::Horizontal, column, column); }

void CReportModel::ColorsChanged(int firstRow, int lastRow, int firstColumn, int lastColumn) {
    lastRow = std::min(lastRow, announced_ - 1);
    if (firstRow > lastRow || firstColumn > lastColumn) return;
    emit dataChanged(index(firstRow, firstColumn), index(lastRow, lastColumn), {Qt::BackgroundRole, Qt::ForegroundRole});
}

void CReportModel::SetImageList(const QList<QIcon>& images) {
    images_ = images;
    if (announced_ > 0 && ColumnCount() > 0)
        emit dataChanged(index(0, 0), index(announced_ - 1, ColumnCount() - 1), {Qt::DecorationRole});
}

void CReportModel::SetHeaderImageList(const QList<QIcon>& images) {
    headerImages_ = images;
    if (ColumnCount() > 0) emit headerDataChanged(Qt::Horizontal, 0, ColumnCount() - 1);
}

}  // namespace velmora
