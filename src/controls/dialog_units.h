// Dialog templates are laid out in dialog units: a horizontal unit is a quarter of the dialog
// font's average character width, a vertical unit an eighth of its character height. These
// helpers turn template tables into pixel geometry and real widgets, so every dialog is built
// from the same numbers at any desktop font size.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>

#include <map>
#include <span>

class QWidget;

namespace velmora {

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int avgCharWidth, int charHeight) : avgCharWidth_(avgCharWidth), charHeight_(charHeight) {}

    int avgCharWidth() const { return avgCharWidth_; }
    int charHeight() const { return charHeight_; }

    int ToPixelsX(int x) const { return x * avgCharWidth_ / 4; }
    int ToPixelsY(int y) const { return y * charHeight_ / 8; }
    // Converts the corners, as MapDialogRect does, so adjacent controls stay adjacent.
    QRect ToPixels(const QRect& dlu) const;
    QSize ToPixels(const QSize& dlu) const { return {ToPixelsX(dlu.width()), ToPixelsY(dlu.height())}; }

private:
    int avgCharWidth_ = 6;
    int charHeight_ = 13;
};

enum class TemplateKind {
    GroupBox,
    Static,
    StaticRight,
    ProgressBar,
    SmoothProgressBar,
    PushButton,
    DefaultPushButton,
    ListView,  // created by the dialog itself; the table only gives its place
};

struct TemplateItem {
    int id;
    TemplateKind kind;
    const char* text;
    int x, y, w, h;  // dialog units
};

// Creates the controls of a template as children of `parent`, placed in pixels. ListView items
// are skipped (the dialog creates its own list and places it with TemplateRect). Returns the
// widgets by control id; every widget also carries its id in the "controlId" property.
std::map<int, QWidget*> BuildTemplate(QWidget* parent, std::span<const TemplateItem> items,
                                      const DialogUnits& units);

QRect TemplateRect(const TemplateItem& item, const DialogUnits& units);

// The control id a template gave a widget, or -1.
int ControlId(const QWidget* w);
void SetControlId(QWidget* w, int id);

// A dialog's controls by id.
class ControlTable {
public:
    // Places `w` at `dlu` (dialog units); a nonzero id names it here and on the widget.
    QWidget* Place(QWidget* w, int id, const QRect& dlu, const DialogUnits& units);
    void Add(int id, QWidget* w) {
        if (w) controls_[id] = w;
    }
    // The control with `id`, or null.
    QWidget* Find(int id) const {
        const auto it = controls_.find(id);
        return it == controls_.end() ? nullptr : it->second;
    }

private:
    std::map<int, QWidget*> controls_;
};

}  // namespace velmora
