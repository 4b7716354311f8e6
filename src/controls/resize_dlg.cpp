#include "controls/resize_dlg.h"

#include "settings/application_profile.h"

#include <QEvent>
#include <QMessageBox>
#include <QPolygon>
#include <QRegion>
#include <QResizeEvent>
#include <QStyle>

#include <memory>

namespace velmora {

// ---- size grip ----

CSizeGripExt::CSizeGripExt(QWidget* parent) : QSizeGrip(parent) {
    ReadMetrics();
    resize(width_, height_);
    BuildRegion();
}

void CSizeGripExt::ReadMetrics() {
    const int extent = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    width_ = extent > 0 ? extent : 16;
    height_ = width_;
}

void CSizeGripExt::BuildRegion() {
    // The lower-right triangle of the grip's own rectangle.
    QPolygon triangle;
    triangle << QPoint(0, height_) << QPoint(width_, height_) << QPoint(width_, 0);
    setMask(QRegion(triangle));
}

void CSizeGripExt::Reposition() {
    QWidget* p = parentWidget();
    if (!p) return;
    move(p->width() - width_, p->height() - height_);
    setVisible(visible_);
}

bool CSizeGripExt::event(QEvent* e) {
    const bool handled = QSizeGrip::event(e);
    if (e->type() == QEvent::StyleChange) {
        // Metrics changed: keep the lower-right corner where it is.
        const QPoint corner = geometry().bottomRight();
        ReadMetrics();
        resize(width_, height_);
        BuildRegion();
        move(corner.x() + 1 - width_, corner.y() + 1 - height_);
    }
    return handled;
}

// ---- layout arithmetic ----

QRect LayoutRect(const LayoutEntry& e, unsigned moved, int growX, int growY, int newClientWidth) {
    auto pick = [&](int nearShift, unsigned nearEdge, int farShift, unsigned farEdge) -> uint32_t {
        if ((moved & nearEdge) && e.mode(nearShift) != 0) return e.mode(nearShift);
        if (moved & farEdge) return e.mode(farShift);
        return 0;
    };
    const uint32_t hm = pick(0, kEdgeLeft, 4, kEdgeRight);
    const uint32_t vm = pick(8, kEdgeTop, 12, kEdgeBottom);

    int left = e.rect.left();
    int right = left + e.rect.width();
    int top = e.rect.top();
    int bottom = top + e.rect.height();

    switch (hm) {
    case kStretch: right += growX; break;
    case kMove: left += growX; right += growX; break;
    case kCentre: {
        const int w = right - left;
        left = static_cast<int>(e.centreRatio * newClientWidth - w / 2);
        right = left + w;
        break;
    }
    default: break;
    }
    switch (vm) {
    case kStretch: bottom += growY; break;
    case kMove: top += growY; bottom += growY; break;
    default: break;  // centring is horizontal only
    }
    return QRect(left, top, right - left, bottom - top);
}

// ---- dialog ----

CResizeDlg::CResizeDlg(QWidget* parent) : QDialog(parent) {
    // No platform "What's this" button: the frame carries minimise and maximise boxes.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setSizeGripEnabled(false);  // the dialog draws its own grip
}

CResizeDlg::~CResizeDlg() { SavePlacementOnDestroy(); }

void CResizeDlg::SavePlacementOnDestroy() {
    if (placementKey_.isEmpty() || placementSaved_) return;
    placementSaved_ = true;
    if (!SavePlacement(this, placementKey_, QString::fromLatin1(profile::kPositionSection)))
        QMessageBox::warning(nullptr, QString(), QStringLiteral("Fail to Save!"), QMessageBox::Ok);
}

void CResizeDlg::InitResizeDlg() {
    previousClient_ = QRect(mapToGlobal(QPoint(0, 0)), size());
    if (!grip_) grip_ = new CSizeGripExt(this);
    grip_->SetWanted(true);
    grip_->Reposition();
}

void CResizeDlg::RegisterControl(int id, QWidget* w) {
    controls_.Add(id, w);
}

void CResizeDlg::RegisterControls(const std::map<int, QWidget*>& controls) {
    for (const auto& [id, w] : controls) RegisterControl(id, w);
}

QWidget* CResizeDlg::Control(int id) const {
    return controls_.Find(id);
}

bool CResizeDlg::AddControl(int id, uint32_t left, uint32_t right, uint32_t top, uint32_t bottom, uint32_t flags,
                            double r1, double r2, double r3, double r4) {
    QWidget* w = Control(id);
    // An unknown id has nothing to lay out; it is refused rather than kept as a dead entry.
    if (!w) return false;
    LayoutEntry e;
    e.id = id;
    e.rect = w->parentWidget() == this ? w->geometry() : QRect(w->mapTo(this, QPoint(0, 0)), w->size());
    e.modes = (left & 0xF) | (right & 0xF) << 4 | (top & 0xF) << 8 | (bottom & 0xF) << 12 | (flags & 3) << 16;
    e.centreRatio = r1;
    e.ratios[0] = r2;
    e.ratios[1] = r3;
    e.ratios[2] = r4;
    if (left == kCentre || right == kCentre) {
        const int cw = width();
        e.centreRatio = cw > 0 ? (e.rect.left() + (e.rect.left() + e.rect.width())) / 2.0 / cw : 0.0;
    }
    for (LayoutEntry& existing : entries_) {
        if (existing.id == id) {
            existing = e;
            return true;
        }
    }
    entries_.push_back(e);
    return true;
}

void CResizeDlg::SetMinTrackSize(const QSize& size) {
    minTrack_ = size;
    setMinimumSize(size);
    SetResizable(widthResizable_, heightResizable_);
}

void CResizeDlg::SetResizable(bool w, bool h) {
    widthResizable_ = w;
    heightResizable_ = h;
    setMaximumWidth(w ? QWIDGETSIZE_MAX : minTrack_.width());
    setMaximumHeight(h ? QWIDGETSIZE_MAX : minTrack_.height());
}

void CResizeDlg::HideSizeGrip() {
    if (!grip_) return;
    grip_->SetWanted(false);
    grip_->hide();
}

void CResizeDlg::resizeEvent(QResizeEvent* e) {
    QDialog::resizeEvent(e);
    if (isMinimized()) return;
    Relayout();
}

void CResizeDlg::changeEvent(QEvent* e) {
    QDialog::changeEvent(e);
    if (e->type() == QEvent::WindowStateChange && grip_ && !isMinimized()) {
        grip_->SetWanted(!isMaximized());
        grip_->Reposition();
    }
}

void CResizeDlg::Relayout() {
    if (!grip_) return;  // not initialised yet: the template is still being built
    const QRect now(mapToGlobal(QPoint(0, 0)), size());
    if (!entries_.empty()) {
        // Every size change a Qt window reports is a restored or maximised size, for which the
        // right and bottom edges count as the moved ones, whichever edge the user dragged.
        const unsigned moved = kEdgeRight | kEdgeBottom;
        const int growX = now.width() - previousClient_.width();
        const int growY = now.height() - previousClient_.height();
        setUpdatesEnabled(false);
        for (LayoutEntry& entry : entries_) {
            const QRect r = LayoutRect(entry, moved, growX, growY, now.width());
            if (r == entry.rect) continue;  // untouched controls are not moved or repainted
            if (QWidget* w = Control(entry.id)) {
                if (w->parentWidget() == this)
                    w->setGeometry(r);
                else
                    w->setGeometry(QRect(w->parentWidget()->mapFrom(this, r.topLeft()), r.size()));
            }
            entry.rect = r;
        }
        setUpdatesEnabled(true);
    }
    previousClient_ = now;
    // A size change ends a HideSizeGrip; a maximised dialog has no grip.
    grip_->SetWanted(!isMaximized());
    grip_->Reposition();
    grip_->raise();
}

bool CResizeDlg::SavePlacement(QWidget* window, const QString& key, const QString& section) {
    if (!window) return false;
    store_.placement = ReadPlacement(window);
    std::unique_ptr<ApplicationProfile> own;
    ApplicationProfile* prof = profile_;
    if (!prof) {
        own = std::make_unique<ApplicationProfile>();
        prof = own.get();
    }
    const bool a = prof->WriteProfileBinary(section, key, store_.placement.Serialize());
    const bool b = prof->WriteProfileInt(section, QString(), store_.showStateOverride);
    const bool c = prof->Sync();
    return a && b && c;
}

bool CResizeDlg::RestorePlacement(QWidget* window, const QString& key, const QString& section) {
    if (!window) return false;
    std::unique_ptr<ApplicationProfile> own;
    ApplicationProfile* prof = profile_;
    if (!prof) {
        own = std::make_unique<ApplicationProfile>();
        prof = own.get();
    }
    if (store_.firstRestore) {
        store_.firstRestore = false;
        WindowPlacement def = ReadPlacement(window);
        def.showCmd = WindowPlacement::kShowNormal;
        def.flags = 0;
        def.setNormalRect(CentredOnPrimaryScreen(window->size()));
        store_.defaultPlacement = def;
        store_.showStateOverride = prof->GetProfileInt(section, QString(), 0);
    }
    std::optional<WindowPlacement> stored;
    if (const auto bytes = prof->GetProfileBinary(section, key)) stored = WindowPlacement::Deserialize(*bytes);
    store_.placement = stored ? *stored : store_.defaultPlacement;
    store_.placement.showCmd = AdjustShowCommand(store_.placement, store_.showStateOverride);
    ApplyPlacement(window, store_.placement);
    return true;
}

void CResizeDlg::ApplyStoredPlacement() { ApplyPlacement(this, store_.placement); }

}  // namespace velmora
