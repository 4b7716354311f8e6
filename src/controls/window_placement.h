// The 44-byte window placement record kept in the profile, and its reading from and applying
// to a top-level widget. The record keeps the layout of the platform's WINDOWPLACEMENT:
// length, flags, show command, minimised position, maximised position, normal rectangle,
// eleven little-endian 32-bit integers.
#pragma once

#include <QByteArray>
#include <QRect>

#include <cstdint>
#include <optional>

class QWidget;

namespace velmora {

struct WindowPlacement {
    static constexpr int kSize = 44;
    // Show commands.
    static constexpr int32_t kShowNormal = 1;
    static constexpr int32_t kShowMinimized = 2;
    static constexpr int32_t kShowMaximized = 3;
    // Flags.
    static constexpr uint32_t kSetMinPosition = 1;
    static constexpr uint32_t kRestoreToMaximized = 2;

    uint32_t length = kSize;
    uint32_t flags = 0;
    int32_t showCmd = kShowNormal;
    int32_t minX = -1, minY = -1;
    int32_t maxX = -1, maxY = -1;
    int32_t normalLeft = 0, normalTop = 0, normalRight = 0, normalBottom = 0;

    QRect normalRect() const { return QRect(QPoint(normalLeft, normalTop), QPoint(normalRight - 1, normalBottom - 1)); }
    void setNormalRect(const QRect& r);

    QByteArray Serialize() const;
    // Reads the first 44 bytes of a stored value; a shorter value is not a placement.
    static std::optional<WindowPlacement> Deserialize(const QByteArray& bytes);

    bool operator==(const WindowPlacement&) const = default;
};

// The widget's placement: its show state and its normal (restored) geometry in screen
// coordinates of the client area.
WindowPlacement ReadPlacement(const QWidget* window);
// Gives the widget the normal geometry and the show state of the record. A hidden widget keeps
// the state for its next show.
void ApplyPlacement(QWidget* window, const WindowPlacement& wp);

// The show command adjusted by the stored override: 2 normal, 3 maximised, 4 minimised,
// 1 unchanged; any other value brings a window saved minimised back restored, maximised
// when the record says it was to be restored maximised.
int32_t AdjustShowCommand(const WindowPlacement& wp, int32_t showStateOverride);

// The rectangle of size `size` centred on the primary screen (integer halves, as the
// first start places a dialog).
QRect CentredOnPrimaryScreen(const QSize& size);

// What RestorePlacement/SavePlacement keep between calls.
struct WindowPlacementStore {
    int32_t showStateOverride = 0;
    WindowPlacement placement;
    WindowPlacement defaultPlacement;
    bool firstRestore = true;
};

}  // namespace velmora
