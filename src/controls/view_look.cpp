#include "controls/view_look.h"

#include <QPainter>
#include <QPen>

namespace velmora {

namespace {

QColor Mix(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(static_cast<float>(a.redF() + (b.redF() - a.redF()) * t),
                            static_cast<float>(a.greenF() + (b.greenF() - a.greenF()) * t),
                            static_cast<float>(a.blueF() + (b.blueF() - a.blueF()) * t));
}

// The blue-grey the light shades lean to; dark shades lean to it as well, by the same steps.
const QColor kTint(120, 140, 230);

}  // namespace

bool IsDarkPalette(const QPalette& palette) { return palette.color(QPalette::Base).lightnessF() < 0.5; }

QColor ListRowShade(const QPalette& palette, bool odd, bool sortColumn) {
    if (!IsDarkPalette(palette)) {
        if (odd) return sortColumn ? QColor(235, 238, 250) : QColor(243, 245, 252);
        return sortColumn ? QColor(247, 248, 253) : QColor(255, 255, 255);
    }
    // Steps small enough that the palette's light text keeps its contrast on every shade.
    const QColor base = palette.color(QPalette::Base);
    const double step = (odd ? 0.06 : 0.0) + (sortColumn ? 0.07 : 0.0);
    return step == 0.0 ? base : Mix(base, kTint, step);
}

QColor HintTextColour(const QPalette& palette) {
    return IsDarkPalette(palette) ? QColor(150, 160, 255) : QColor(106, 106, 255);
}

QColor LogInfoColour(const QPalette& palette) {
    return IsDarkPalette(palette) ? QColor(140, 175, 255) : QColor(0, 0, 255);
}

QColor LogErrorColour(const QPalette& palette) {
    return IsDarkPalette(palette) ? QColor(255, 130, 120) : QColor(255, 0, 0);
}

void PaintFocusFrame(QPainter& painter, const QRect& rect, const QPalette& palette, bool selected) {
    painter.save();
    QPen pen(selected ? palette.color(QPalette::HighlightedText) : palette.color(QPalette::Highlight));
    pen.setWidth(1);
    pen.setStyle(selected ? Qt::DotLine : Qt::SolidLine);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect.adjusted(0, 0, -1, -1));
    painter.restore();
}

}  // namespace velmora
