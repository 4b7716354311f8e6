#include "app/status_bar.h"

#include <QLabel>
#include <QSizeGrip>

namespace velmora {

CStatusBar::CStatusBar(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("statusBar"));
    for (int i = 0; i < kPaneCount; ++i) {
        auto* pane = new QLabel(this);
        pane->setObjectName(QStringLiteral("statusPane%1").arg(i));
        pane->setFrameShape(QFrame::StyledPanel);
        pane->setFrameShadow(QFrame::Sunken);
        pane->setTextFormat(Qt::PlainText);
        pane->setMinimumWidth(0);
        panes_[i] = pane;
    }
    grip_ = new QSizeGrip(this);
    LayoutPanes();
}

void CStatusBar::SetParts(int right0, int right1) {
    parts_ = {right0, right1};
    LayoutPanes();
}

void CStatusBar::SetText(int pane, const QString& text) {
    if (pane < 0 || pane >= kPaneCount || texts_[pane] == text) return;
    texts_[pane] = text;
    LayoutPanes();
}

QString CStatusBar::Text(int pane) const { return pane >= 0 && pane < kPaneCount ? texts_[pane] : QString(); }

int CStatusBar::TextWidth(int pane) const {
    if (texts_[pane].isEmpty()) return 0;
    // The sunken frame and the label's margins on both sides.
    const int frame = 2 * (panes_[pane]->frameWidth() + panes_[pane]->margin()) + 6;
    return panes_[pane]->fontMetrics().horizontalAdvance(texts_[pane]) + frame;
}

void CStatusBar::SetTipText(int pane, const QString& text) {
    if (pane >= 0 && pane < kPaneCount) panes_[pane]->setToolTip(text);
}

QString CStatusBar::TipText(int pane) const {
    return pane >= 0 && pane < kPaneCount ? panes_[pane]->toolTip() : QString();
}

QRect CStatusBar::PaneRect(int pane) const {
    return pane >= 0 && pane < kPaneCount ? panes_[pane]->geometry() : QRect();
}

void CStatusBar::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    LayoutPanes();
}

void CStatusBar::LayoutPanes() {
    const int h = height();
    const int w = width();
    const int gripSize = std::min(h, grip_->sizeHint().width());
    int left = 0;
    for (int i = 0; i < kPaneCount; ++i) {
        // A larger font (a scaled desktop) widens a pane rather than cutting its text.
        const int right = i < kPaneCount - 1 ? std::clamp(std::max(parts_[i], left + TextWidth(i)), left, w) : w;
        // The last pane leaves room for the grip.
        const int paneRight = i == kPaneCount - 1 ? std::max(left, right - gripSize) : right;
        panes_[i]->setGeometry(left, 0, paneRight - left, h);
        const int room = paneRight - left - (TextWidth(i) - panes_[i]->fontMetrics().horizontalAdvance(texts_[i]));
        panes_[i]->setText(TextWidth(i) <= paneRight - left
                               ? texts_[i]
                               : panes_[i]->fontMetrics().elidedText(texts_[i], Qt::ElideRight, std::max(room, 0)));
        left = right;
    }
    grip_->setGeometry(w - gripSize, h - gripSize, gripSize, gripSize);
}

}  // namespace velmora
