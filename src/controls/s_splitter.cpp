#include "controls/s_splitter.h"

#include "settings/application_profile.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPalette>

#include <algorithm>
#include <memory>

namespace velmora {

namespace {

QString HorizontalSection(int id) { return QStringLiteral("splt\\init_h%1").arg(id); }
const QString kHorizEntry = QStringLiteral("HorizSplitPos");

template <typename Fn>
auto WithProfile(ApplicationProfile* given, Fn fn) {
    if (given) return fn(*given);
    ApplicationProfile own;
    return fn(own);
}

}  // namespace

CSSplitter::CSSplitter(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    // Focus is taken only while dragging (for Esc), so the window that had it can get it back.
    setFocusPolicy(Qt::NoFocus);
}

CSSplitter::~CSSplitter() { SavePosition(); }

void CSSplitter::SavePosition() {
    if (saved_ || (!vertical_ && !horizontal_)) return;
    saved_ = true;
    WithProfile(profile_, [&](ApplicationProfile& p) {
        if (!leftRect_.isEmpty())
            p.WriteProfileInt(profile::SplitterSection(id_), QString::fromLatin1(profile::kVertSplitPosEntry),
                              leftRect_.x() + leftRect_.width());
        if (!bottomRect_.isEmpty()) p.WriteProfileInt(HorizontalSection(id_), kHorizEntry, bottomRect_.height());
        p.Sync();
        return 0;
    });
}

bool CSSplitter::CreateSplitter(uint32_t style, QWidget* parentDialog, QWidget* pane1, QWidget* pane2, int id,
                                const QRect& rect, int min1, int min2) {
    id_ = id;
    if (parentDialog && parentWidget() != parentDialog) setParent(parentDialog);
    setGeometry(rect);
    setVisible(true);
    // The panes become the splitter's children; their signals still reach whoever connected them.
    if (pane1) pane1->setParent(this);
    if (pane2) pane2->setParent(this);
    minLeft_ = minTop_ = min1;
    minRight_ = minBottom_ = min2;

    if (style & kLeftRight) {
        leftPane_ = pane1;
        rightPane_ = pane2;
        vertical_ = true;
        horizontal_ = false;
        const int x = WithProfile(profile_, [&](ApplicationProfile& p) {
            return p.GetProfileInt(profile::SplitterSection(id_), QString::fromLatin1(profile::kVertSplitPosEntry),
                                   2 * minLeft_);
        });
        if (!leftHidden_) {
            // A stored position outside the limits is taken as it is; the next size change clamps it.
            SetBarPosition(x + kThickness / 2);
            leftWidth_ = x;
        } else {
            if (leftPane_) leftPane_->hide();
            if (rightPane_) rightPane_->setGeometry(this->rect());
        }
    } else if (style & kTopBottom) {
        topPane_ = pane1;
        bottomPane_ = pane2;
        horizontal_ = true;
        vertical_ = false;
        bottomHeight_ = WithProfile(profile_, [&](ApplicationProfile& p) {
            return p.GetProfileInt(HorizontalSection(id_), kHorizEntry, 2 * minBottom_);
        });
        SetBarPositionY(height() - kThickness / 2 - bottomHeight_);
    }
    if (pane1) pane1->show();
    if (pane2) pane2->show();
    if (leftHidden_ && leftPane_) leftPane_->hide();
    return true;
}

void CSSplitter::SetBarPosition(int x) {
    const QRect c = rect();
    barRect_ = QRect(QPoint(x - kThickness, c.top()), QPoint(x + kThickness - 1, c.bottom()));
    const int leftRight = x - kThickness / 2;  // exclusive right edge of the left pane
    leftRect_ = QRect(c.left(), c.top(), std::max(0, leftRight - c.left()), c.height());
    const int rightLeft = leftRight + kThickness;
    rightRect_ = QRect(rightLeft, c.top(), std::max(0, c.left() + c.width() - rightLeft), c.height());
    if (leftPane_) leftPane_->setGeometry(leftRect_);
    if (rightPane_) rightPane_->setGeometry(rightRect_);
    update();
}

void CSSplitter::SetBarPositionY(int y) {
    const QRect c = rect();
    barRect_ = QRect(QPoint(c.left(), y - kThickness), QPoint(c.right(), y + kThickness - 1));
    const int bottomTop = y + kThickness / 2;
    bottomRect_ = QRect(c.left(), bottomTop, c.width(), std::max(0, c.top() + c.height() - bottomTop));
    const int topBottom = bottomTop - kThickness;
    topRect_ = QRect(c.left(), c.top(), c.width(), std::max(0, topBottom - c.top()));
    if (topPane_) topPane_->setGeometry(topRect_);
    if (bottomPane_) bottomPane_->setGeometry(bottomRect_);
    update();
}

int CSSplitter::ClampX(int x) const {
    const QRect c = rect();
    x = std::min(x, c.left() + c.width() - minRight_);
    x = std::max(x, c.left() + minLeft_);  // the left minimum wins when both cannot hold
    return x;
}

int CSSplitter::ClampY(int y) const {
    const QRect c = rect();
    y = std::min(y, c.top() + c.height() - minBottom_);
    y = std::max(y, c.top() + minTop_);
    return y;
}

void CSSplitter::HideLeftPane() {
    if (!vertical_ || leftHidden_ || !rightPane_) return;
    leftHidden_ = true;
    barRect_ = QRect();
    if (leftPane_) leftPane_->hide();
    rightPane_->setGeometry(rect());
}

void CSSplitter::ShowLeftPane() {
    if (!vertical_) return;
    leftHidden_ = false;
    leftWidth_ = leftRect_.width();
    SetBarPosition(leftRect_.x() + leftRect_.width() + kThickness / 2);
    if (leftPane_) leftPane_->show();
}

void CSSplitter::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    if (vertical_) {
        if (!leftHidden_) {
            SetBarPosition(ClampX(leftWidth_ + kThickness / 2));
        } else if (rightPane_) {
            rightPane_->setGeometry(rect());
        }
    } else if (horizontal_) {
        SetBarPositionY(ClampY(height() - kThickness / 2 - bottomHeight_));
    }
}

QWidget* CSSplitter::dragOutline() const { return outline_ && outline_->isVisible() ? outline_ : nullptr; }

void CSSplitter::ShowOutline(int pos) {
    // The outline is a 3-pixel band in the button-face colour over the parent, where the bar
    // would land; it goes away on release or Esc.
    QWidget* surface = parentWidget() ? parentWidget() : this;
    if (!outline_) {
        outline_ = new QWidget(surface);
        outline_->setAttribute(Qt::WA_TransparentForMouseEvents);
        outline_->setAutoFillBackground(true);
        QPalette pal = outline_->palette();
        pal.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button).darker(140));
        outline_->setPalette(pal);
    }
    const QPoint origin = surface == this ? QPoint(0, 0) : mapTo(surface, QPoint(0, 0));
    if (horizontal_ && !vertical_)
        outline_->setGeometry(origin.x(), origin.y() + pos - kThickness / 2, width(), kThickness);
    else
        outline_->setGeometry(origin.x() + pos - kThickness / 2, origin.y(), kThickness, height());
    outline_->show();
    outline_->raise();
}

void CSSplitter::HideOutline() {
    if (outline_) outline_->hide();
}

void CSSplitter::mousePressEvent(QMouseEvent* e) {
    const QPoint p = e->position().toPoint();
    if (e->button() != Qt::LeftButton || !barRect_.contains(p) || (vertical_ && leftHidden_)) {
        QWidget::mousePressEvent(e);
        return;
    }
    tracking_ = true;
    buttonDown_ = true;
    trackPos_ = vertical_ ? p.x() : p.y();
    if (!liveDrag_) ShowOutline(trackPos_);
    savedFocus_ = QApplication::focusWidget();
    setFocus(Qt::MouseFocusReason);
    // The pressed button already routes every move and the release here (Qt's implicit grab).
    setCursor(vertical_ ? Qt::SplitHCursor : Qt::SplitVCursor);
    e->accept();
}

void CSSplitter::mouseMoveEvent(QMouseEvent* e) {
    const QPoint p = e->position().toPoint();
    if (!tracking_) {
        if (barRect_.contains(p))
            setCursor(vertical_ ? Qt::SplitHCursor : Qt::SplitVCursor);
        else
            unsetCursor();
        QWidget::mouseMoveEvent(e);
        return;
    }
    if (vertical_) {
        trackPos_ = ClampX(p.x());
        if (liveDrag_) {
            SetBarPosition(trackPos_);
            leftWidth_ = leftRect_.width();
        } else {
            ShowOutline(trackPos_);
        }
    } else {
        trackPos_ = ClampY(p.y());
        if (liveDrag_) {
            SetBarPositionY(trackPos_);
            bottomHeight_ = bottomRect_.height();
        } else {
            ShowOutline(trackPos_);
        }
    }
    e->accept();
}

void CSSplitter::mouseReleaseEvent(QMouseEvent* e) {
    if (!tracking_ || e->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(e);
        return;
    }
    const QPoint p = e->position().toPoint();
    HideOutline();
    if (vertical_) {
        trackPos_ = ClampX(p.x());
        EndTracking();
        SetBarPosition(trackPos_);
        leftWidth_ = leftRect_.width();
    } else {
        trackPos_ = ClampY(p.y());
        EndTracking();
        SetBarPositionY(trackPos_);
        bottomHeight_ = bottomRect_.height();
    }
    e->accept();
}

void CSSplitter::EndTracking() {
    tracking_ = false;
    buttonDown_ = false;
}

void CSSplitter::keyPressEvent(QKeyEvent* e) {
    if (tracking_ && e->key() == Qt::Key_Escape) {
        HideOutline();
        EndTracking();
        if (savedFocus_ && savedFocus_ != this) savedFocus_->setFocus(Qt::OtherFocusReason);
        savedFocus_ = nullptr;
        e->accept();
        return;
    }
    QWidget::keyPressEvent(e);
}

}  // namespace velmora
