#include "controls/dialog_units.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVariant>

namespace velmora {

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics fm(font);
    // The platform's average character width: the mean advance over the 52 Latin letters,
    // rounded to the nearest pixel.
    static const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    avgCharWidth_ = (fm.horizontalAdvance(letters) + 26) / 52;
    charHeight_ = fm.height();
    if (avgCharWidth_ < 1) avgCharWidth_ = 1;
    if (charHeight_ < 1) charHeight_ = 1;
}

QRect DialogUnits::ToPixels(const QRect& dlu) const {
    const int left = ToPixelsX(dlu.x());
    const int top = ToPixelsY(dlu.y());
    const int right = ToPixelsX(dlu.x() + dlu.width());
    const int bottom = ToPixelsY(dlu.y() + dlu.height());
    return QRect(left, top, right - left, bottom - top);
}

QRect TemplateRect(const TemplateItem& item, const DialogUnits& units) {
    return units.ToPixels(QRect(item.x, item.y, item.w, item.h));
}

QWidget* ControlTable::Place(QWidget* w, int id, const QRect& dlu, const DialogUnits& units) {
    w->setGeometry(units.ToPixels(dlu));
    if (id) {
        SetControlId(w, id);
        Add(id, w);
    }
    return w;
}

int ControlId(const QWidget* w) {
    if (!w) return -1;
    const QVariant v = w->property("controlId");
    return v.isValid() ? v.toInt() : -1;
}

void SetControlId(QWidget* w, int id) { w->setProperty("controlId", id); }

std::map<int, QWidget*> BuildTemplate(QWidget* parent, std::span<const TemplateItem> items,
                                      const DialogUnits& units) {
    std::map<int, QWidget*> out;
    for (const TemplateItem& item : items) {
        const QString text = item.text ? QString::fromUtf8(item.text) : QString();
        QWidget* w = nullptr;
        switch (item.kind) {
        case TemplateKind::GroupBox:
            w = new QGroupBox(text, parent);
            break;
        case TemplateKind::Static:
        case TemplateKind::StaticRight: {
            auto* label = new QLabel(text, parent);
            label->setAlignment((item.kind == TemplateKind::StaticRight ? Qt::AlignRight : Qt::AlignLeft) |
                                Qt::AlignVCenter);
            w = label;
            break;
        }
        case TemplateKind::ProgressBar:
        case TemplateKind::SmoothProgressBar: {
            auto* bar = new QProgressBar(parent);
            bar->setTextVisible(false);
            w = bar;
            break;
        }
        case TemplateKind::PushButton:
        case TemplateKind::DefaultPushButton: {
            auto* button = new QPushButton(text, parent);
            // Dialog buttons here never act on Enter by default; the dialogs filter Enter anyway.
            button->setAutoDefault(false);
            button->setDefault(item.kind == TemplateKind::DefaultPushButton);
            w = button;
            break;
        }
        case TemplateKind::ListView:
            continue;
        }
        SetControlId(w, item.id);
        w->setGeometry(TemplateRect(item, units));
        out[item.id] = w;
    }
    return out;
}

}  // namespace velmora
