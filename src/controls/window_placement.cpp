#include "controls/window_placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QtEndian>

namespace velmora {

void WindowPlacement::setNormalRect(const QRect& r) {
    normalLeft = r.left();
    normalTop = r.top();
    normalRight = r.left() + r.width();
    normalBottom = r.top() + r.height();
}

QByteArray WindowPlacement::Serialize() const {
    const uint32_t words[11] = {length,
                                flags,
                                static_cast<uint32_t>(showCmd),
                                static_cast<uint32_t>(minX),
                                static_cast<uint32_t>(minY),
                                static_cast<uint32_t>(maxX),
                                static_cast<uint32_t>(maxY),
                                static_cast<uint32_t>(normalLeft),
                                static_cast<uint32_t>(normalTop),
                                static_cast<uint32_t>(normalRight),
                                static_cast<uint32_t>(normalBottom)};
    QByteArray out(kSize, '\0');
    for (int i = 0; i < 11; ++i) qToLittleEndian<uint32_t>(words[i], out.data() + 4 * i);
    return out;
}

std::optional<WindowPlacement> WindowPlacement::Deserialize(const QByteArray& bytes) {
    // A value shorter than the record cannot be trusted to hold one; the caller then falls
    // back to the default placement rather than reading past the end.
    if (bytes.size() < kSize) return std::nullopt;
    uint32_t w[11];
    for (int i = 0; i < 11; ++i) w[i] = qFromLittleEndian<uint32_t>(bytes.constData() + 4 * i);
    WindowPlacement wp;
    wp.length = w[0];
    wp.flags = w[1];
    wp.showCmd = static_cast<int32_t>(w[2]);
    wp.minX = static_cast<int32_t>(w[3]);
    wp.minY = static_cast<int32_t>(w[4]);
    wp.maxX = static_cast<int32_t>(w[5]);
    wp.maxY = static_cast<int32_t>(w[6]);
    wp.normalLeft = static_cast<int32_t>(w[7]);
    wp.normalTop = static_cast<int32_t>(w[8]);
    wp.normalRight = static_cast<int32_t>(w[9]);
    wp.normalBottom = static_cast<int32_t>(w[10]);
    // A hand-edited or damaged record with an inverted or empty rectangle would make the
    // window vanish; treat it as no record.
    if (wp.normalRight <= wp.normalLeft || wp.normalBottom <= wp.normalTop) return std::nullopt;
    return wp;
}

WindowPlacement ReadPlacement(const QWidget* window) {
    WindowPlacement wp;
    const Qt::WindowStates state = window->windowState();
    if (state & Qt::WindowMinimized) {
        wp.showCmd = WindowPlacement::kShowMinimized;
        if (state & Qt::WindowMaximized) wp.flags |= WindowPlacement::kRestoreToMaximized;
    } else if (state & (Qt::WindowMaximized | Qt::WindowFullScreen)) {
        wp.showCmd = WindowPlacement::kShowMaximized;
    }
    QRect normal = window->geometry();
    if (wp.showCmd != WindowPlacement::kShowNormal && window->normalGeometry().isValid())
        normal = window->normalGeometry();
    wp.setNormalRect(normal);
    return wp;
}

int32_t AdjustShowCommand(const WindowPlacement& wp, int32_t showStateOverride) {
    switch (showStateOverride) {
    case 1: return wp.showCmd;
    case 2: return WindowPlacement::kShowNormal;
    case 3: return WindowPlacement::kShowMaximized;
    case 4: return WindowPlacement::kShowMinimized;
    default:
        // A window saved minimised comes back restored, or maximised when it was to be restored
        // maximised. Only the restore-to-maximised flag decides: adding the whole flag word to
        // the show command would turn the set-minimised-position flag back into "minimised".
        if (wp.showCmd == WindowPlacement::kShowMinimized)
            return (wp.flags & WindowPlacement::kRestoreToMaximized) ? WindowPlacement::kShowMaximized
                                                                     : WindowPlacement::kShowNormal;
        return wp.showCmd;
    }
}

void ApplyPlacement(QWidget* window, const WindowPlacement& wp) {
    const QRect r = wp.normalRect();
    const Qt::WindowStates keep = window->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen);
    // Leave any current state first so the geometry becomes the normal geometry.
    window->setWindowState(keep);
    window->setGeometry(r);
    switch (wp.showCmd) {
    case WindowPlacement::kShowMaximized:
        window->setWindowState(keep | Qt::WindowMaximized);
        break;
    case WindowPlacement::kShowMinimized:
        window->setWindowState(keep | Qt::WindowMinimized);
        break;
    default:
        break;
    }
}

QRect CentredOnPrimaryScreen(const QSize& size) {
    QScreen* screen = QGuiApplication::primaryScreen();
    const QSize s = screen ? screen->geometry().size() : QSize(1024, 768);
    const int w = size.width(), h = size.height();
    const int left = (s.width() - w) / 2, right = (s.width() + w) / 2;
    const int top = (s.height() - h) / 2, bottom = (s.height() + h) / 2;
    return QRect(left, top, right - left, bottom - top);
}

}  // namespace velmora
