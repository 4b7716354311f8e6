// The row record of CReportCtrl: the owner's object for the row and a text and background
// colour per cell. The control allocates one when a row is inserted and frees it when the row
// is deleted; it never frees the owner's object.
#pragma once

#include <QRgb>

#include <atomic>
#include <vector>

namespace velmora {

struct ReportItemInfo {
    void* userData = nullptr;
    std::vector<QRgb> textColors;
    std::vector<QRgb> backColors;

    ReportItemInfo(void* data, int columns, QRgb text, QRgb back)
        : userData(data), textColors(static_cast<size_t>(columns), text), backColors(static_cast<size_t>(columns), back) {
        liveCount_.fetch_add(1, std::memory_order_relaxed);
    }
    ~ReportItemInfo() { liveCount_.fetch_sub(1, std::memory_order_relaxed); }
    ReportItemInfo(const ReportItemInfo&) = delete;
    ReportItemInfo& operator=(const ReportItemInfo&) = delete;

    // Records alive in the process: lets a test see that deleting rows frees every record.
    static int LiveCount() { return liveCount_.load(std::memory_order_relaxed); }

private:
    static inline std::atomic<int> liveCount_{0};
};

// Row state flag word (read from a row, applied to a row, or used as a mask).
enum ReportStateFlag : unsigned {
    kStateAll = 0x01,          // as a mask: every row matches
    kStateSelected = 0x02,
    kStateNotSelected = 0x04,
    kStateChecked = 0x08,
    kStateNotChecked = 0x10,
    kStateFocused = 0x20,
    kStateNotFocused = 0x40,
};

}  // namespace velmora
