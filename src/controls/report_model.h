// The row model under CReportCtrl: each row's cell texts, cell images and row record, the
// column headings with their formats. Only the visible rows are ever asked for data.
#pragma once

#include "controls/report_item_info.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QList>
#include <QString>
#include <QTimer>

#include <vector>

namespace velmora {

struct ReportRow {
    std::vector<QString> texts;
    std::vector<int> images;  // image list index per column, -1 for none
    ReportItemInfo* info = nullptr;  // owned by the control
    bool checked = false;
};

// Header item format bits (as the platform header keeps them).
inline constexpr unsigned kHeaderFormatLeft = 0x0000;
inline constexpr unsigned kHeaderFormatRight = 0x0001;
inline constexpr unsigned kHeaderFormatCenter = 0x0002;
inline constexpr unsigned kHeaderFormatImage = 0x0800;
inline constexpr unsigned kHeaderFormatBitmapOnRight = 0x1000;

struct ReportColumn {
    QString heading;
    unsigned format = kHeaderFormatLeft;
    int headerImage = -1;
};

class CReportModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CReportModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    int RowCount() const { return static_cast<int>(rows_.size()); }
    int ColumnCount() const { return static_cast<int>(columns_.size()); }
    ReportRow& Row(int row) { return rows_[static_cast<size_t>(row)]; }
    const ReportRow& Row(int row) const { return rows_[static_cast<size_t>(row)]; }
    ReportColumn& Column(int column) { return columns_[static_cast<size_t>(column)]; }
    const ReportColumn& Column(int column) const { return columns_[static_cast<size_t>(column)]; }

    void InsertRow(int index, ReportRow row);
    // While appends are held, rows added at the end are kept at once but announced to the
    // views together: at most every kHeldAppendMs, and before anything else changes the rows
    // or asks for an index (`AnnounceRows`). A tree view lays out all its rows again after
    // every announcement, so one per row made a long load quadratic. Ending the hold
    // announces what is left.
    static constexpr int kHeldAppendMs = 100;
    void HoldAppends(bool hold);
    bool AppendsHeld() const { return holdAppends_; }
    void AnnounceRows();
    // Rows the views know of (the rest are held appends).
    int AnnouncedRows() const { return announced_; }

    ReportRow TakeRow(int index);
    // Takes the rows at `indexes` (ascending, no repeats), one removal per contiguous run,
    // and gives them back in that order.
    std::vector<ReportRow> TakeRows(const std::vector<int>& indexes);
    std::vector<ReportRow> TakeAllRows();
    void MoveRow(int from, int to);
    // Rows first.. take the rows at first + order[k] in turn; persistent indexes (selection,
    // focus) travel with their rows.
    void ApplyOrder(int first, const std::vector<int>& order);
    void InsertColumn(int index, ReportColumn column, QRgb textColor, QRgb backColor);
    void RemoveColumn(int index);

    void SetText(int row, int column, const QString& text);
    void SetImage(int row, int column, int image);
    void SetChecked(int row, bool checked);
    void SetShowChecks(bool on);
    bool ShowChecks() const { return showChecks_; }
    void HeaderChanged(int column);
    void ColorsChanged(int firstRow, int lastRow, int firstColumn, int lastColumn);

    void SetImageList(const QList<QIcon>& images);
    const QList<QIcon>& ImageList() const { return images_; }
    void SetHeaderImageList(const QList<QIcon>& images);
    const QList<QIcon>& HeaderImageList() const { return headerImages_; }

private:
    std::vector<ReportRow> rows_;
    std::vector<ReportColumn> columns_;
    QList<QIcon> images_;
    QList<QIcon> headerImages_;
    bool showChecks_ = false;
    bool holdAppends_ = false;
    int announced_ = 0;
    QTimer announceTimer_;
};

}  // namespace velmora
