// The main window's status bar: three text panes whose right edges the owner sets, each
// with its own tooltip, and a size grip at the right end.
#pragma once

#include <array>

#include <QFrame>
#include <QString>

class QLabel;
class QSizeGrip;

namespace velmora {

class CStatusBar : public QFrame {
    Q_OBJECT
public:
    static constexpr int kPaneCount = 3;

    explicit CStatusBar(QWidget* parent = nullptr);

    // Right edges of panes 0 and 1 in client pixels; the last pane runs to the end. A pane
    // whose text needs more than its share is widened to fit it, at the cost of the panes
    // after it; the last pane's text is cut short with "…" when the bar is too narrow.
    void SetParts(int right0, int right1);
    std::array<int, kPaneCount - 1> Parts() const { return parts_; }

    void SetText(int pane, const QString& text);
    QString Text(int pane) const;
    void SetTipText(int pane, const QString& text);
    QString TipText(int pane) const;
    QRect PaneRect(int pane) const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void LayoutPanes();

    int TextWidth(int pane) const;

    std::array<QLabel*, kPaneCount> panes_{};
    std::array<QString, kPaneCount> texts_{};  // the whole texts; the labels may show them cut
    std::array<int, kPaneCount - 1> parts_{25, 50};
    QSizeGrip* grip_ = nullptr;
};

}  // namespace velmora
