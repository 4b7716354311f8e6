// The colours of the list views and the log that follow the palette: light palettes keep the
// program's own light shades; dark palettes get dark shades of the same design, so text in the
// palette's colours stays readable. Also the focus frame the views draw around their current
// row, whatever the style thinks of focus rectangles.
#pragma once

#include <QColor>
#include <QPalette>
#include <QRect>

class QPainter;

namespace velmora {

// A palette whose base (the background of views) is dark.
bool IsDarkPalette(const QPalette& palette);

// The background of a list row: odd rows are faintly tinted, the cells of the sort column a
// little more.
QColor ListRowShade(const QPalette& palette, bool odd, bool sortColumn);

// The colour of the empty list's hint texts, drawn over the view's base colour.
QColor HintTextColour(const QPalette& palette);

// Text colours of the log's information and error lines (invalid: the palette's own text).
QColor LogInfoColour(const QPalette& palette);
QColor LogErrorColour(const QPalette& palette);

// A one-pixel frame just inside `rect`, in a colour that shows on a selected row as well as on
// a plain one.
void PaintFocusFrame(QPainter& painter, const QRect& rect, const QPalette& palette, bool selected);

}  // namespace velmora
