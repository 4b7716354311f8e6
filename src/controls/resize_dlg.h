// CResizeDlg: the base of the resizable dialogs. Registered controls follow a change of the
// client size by per-edge modes; the dialog can have a minimum and fixed axes, shows a size
// grip in its lower-right corner, and keeps its placement in the application profile.
#pragma once

#include "controls/dialog_units.h"
#include "controls/window_placement.h"

#include <QDialog>
#include <QSizeGrip>

#include <cstdint>
#include <map>
#include <vector>

namespace velmora {

class ApplicationProfile;

// Size grip of the lower-right corner: triangular, sized like the scroll bars.
class CSizeGripExt : public QSizeGrip {
    Q_OBJECT
public:
    explicit CSizeGripExt(QWidget* parent);
    int gripWidth() const { return width_; }
    int gripHeight() const { return height_; }
    bool wanted() const { return visible_; }
    void SetWanted(bool on) { visible_ = on; }
    // Puts the grip into the parent's lower-right corner, shown when wanted.
    void Reposition();

protected:
    bool event(QEvent* e) override;

private:
    void ReadMetrics();
    void BuildRegion();

    int width_ = 16;
    int height_ = 16;
    bool visible_ = true;
};

enum LayoutMode : uint32_t {
    kKeep = 0,     // the control keeps its place
    kStretch = 1,  // near edge stays, far edge moves by the growth
    kMove = 2,     // both edges move by the growth
    kCentre = 3,   // horizontal: keeps its width, centred at its fraction of the client width
};

struct LayoutEntry {
    int id = 0;
    uint32_t modes = 0;  // left | right << 4 | top << 8 | bottom << 12 | flags << 16
    QRect rect;          // dialog client coordinates
    double centreRatio = -1.0;
    double ratios[3] = {-1.0, -1.0, -1.0};

    uint32_t mode(int shift) const { return (modes >> shift) & 0xF; }
};

// Edges that moved in a size change.
enum MovedEdge : unsigned { kEdgeLeft = 1, kEdgeRight = 2, kEdgeTop = 4, kEdgeBottom = 8 };

// The rectangle an entry gets for a change of the client size by (growX, growY), with
// `newClientWidth` the new width and `moved` the edges that moved.
QRect LayoutRect(const LayoutEntry& e, unsigned moved, int growX, int growY, int newClientWidth);

class CResizeDlg : public QDialog {
    Q_OBJECT
public:
    explicit CResizeDlg(QWidget* parent = nullptr);
    ~CResizeDlg() override;

    // Makes a child known by its control id, for AddControl.
    void RegisterControl(int id, QWidget* w);
    void RegisterControls(const std::map<int, QWidget*>& controls);
    QWidget* Control(int id) const;

    // Registers (or re-registers) a control's layout rule. An id that names no control is
    // ignored and gives false.
    bool AddControl(int id, uint32_t left, uint32_t right, uint32_t top, uint32_t bottom, uint32_t flags = 0,
                    double r1 = -1, double r2 = -1, double r3 = -1, double r4 = -1);
    const std::vector<LayoutEntry>& layoutEntries() const { return entries_; }

    void SetMinTrackSize(const QSize& size);
    void SetResizable(bool width, bool height);

    void HideSizeGrip();
    CSizeGripExt* sizeGrip() const { return grip_; }

    // The profile used for placements; without one, the user's own profile.
    void SetProfile(ApplicationProfile* profile) { profile_ = profile; }
    ApplicationProfile* profile() const { return profile_; }
    void SetPlacementKey(const QString& key) { placementKey_ = key; }
    QString placementKey() const { return placementKey_; }

    bool SavePlacement(QWidget* window, const QString& key, const QString& section);
    bool RestorePlacement(QWidget* window, const QString& key, const QString& section);
    const WindowPlacementStore& placementStore() const { return store_; }
    // Applies the record the store holds, unchanged (fallback when a restore fails).
    void ApplyStoredPlacement();

    // Saves the placement under the key (when there is one); a failed save is reported with
    // a message box. Called when the dialog goes away; subclasses may call it earlier.
    void SavePlacementOnDestroy();

protected:
    // The end of dialog initialisation: records the client rectangle and creates the grip.
    // Subclasses call it once their controls exist, then register their controls.
    void InitResizeDlg();

    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void Relayout();

    ControlTable controls_;
    std::vector<LayoutEntry> entries_;
    QRect previousClient_;
    QSize minTrack_{0, 0};
    bool widthResizable_ = true;
    bool heightResizable_ = true;
    QString placementKey_;
    WindowPlacementStore store_;
    CSizeGripExt* grip_ = nullptr;
    ApplicationProfile* profile_ = nullptr;
    bool placementSaved_ = false;
};

}  // namespace velmora
