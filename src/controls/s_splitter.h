// CSSplitter: holds two panes side by side (or one above the other) with a 3-pixel bar
// between them that the user drags. The first pane can be hidden; the bar position is kept
// in the application profile.
#pragma once

#include <QPointer>
#include <QRect>
#include <QWidget>

#include <cstdint>

namespace velmora {

class ApplicationProfile;

class CSSplitter : public QWidget {
    Q_OBJECT
public:
    static constexpr uint32_t kLeftRight = 0x1;
    static constexpr uint32_t kTopBottom = 0x2;
    static constexpr int kThickness = 3;

    explicit CSSplitter(QWidget* parent = nullptr);
    ~CSSplitter() override;

    // The profile the position is read from and written to; without one, the user's own.
    // Set it before CreateSplitter.
    void SetProfile(ApplicationProfile* profile) { profile_ = profile; }

    bool CreateSplitter(uint32_t style, QWidget* parentDialog, QWidget* pane1, QWidget* pane2, int id,
                        const QRect& rect, int min1, int min2);
    void SetLiveDrag(bool on) { liveDrag_ = on; }
    bool liveDrag() const { return liveDrag_; }
    void HideLeftPane();
    void ShowLeftPane();
    bool IsLeftPaneShown() const { return !leftHidden_; }
    void SetBarPosition(int x);

    int splitterId() const { return id_; }
    int leftWidth() const { return leftWidth_; }
    int bottomHeight() const { return bottomHeight_; }
    QRect barRect() const { return barRect_; }
    QRect leftPaneRect() const { return leftRect_; }
    QRect rightPaneRect() const { return rightRect_; }
    bool tracking() const { return tracking_; }
    // The outline shown while a bar is dragged (null when none is shown).
    QWidget* dragOutline() const;
    // Writes the positions to the profile, as destruction does.
    void SavePosition();

protected:
    void resizeEvent(QResizeEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    int ClampX(int x) const;
    int ClampY(int y) const;
    void SetBarPositionY(int y);
    void ShowOutline(int pos);
    void HideOutline();
    void EndTracking();

    int id_ = 0;
    bool vertical_ = false;    // left/right split
    bool horizontal_ = false;  // top/bottom split
    QWidget* leftPane_ = nullptr;
    QWidget* rightPane_ = nullptr;
    QWidget* topPane_ = nullptr;
    QWidget* bottomPane_ = nullptr;
    int minLeft_ = 0, minRight_ = 0, minTop_ = 0, minBottom_ = 0;
    int leftWidth_ = 0;
    int bottomHeight_ = 0;
    bool leftHidden_ = false;
    bool liveDrag_ = false;
    bool tracking_ = false;
    bool buttonDown_ = false;
    QPointer<QWidget> savedFocus_;
    QRect barRect_, leftRect_, rightRect_;
    QRect topRect_, bottomRect_;
    int trackPos_ = 0;  // x (or y) of the dragged bar
    QWidget* outline_ = nullptr;
    ApplicationProfile* profile_ = nullptr;
    bool saved_ = false;
};

}  // namespace velmora
