// CHyperLink: a text label that looks and acts like a web link. Blue text, red and underlined
// with a hand cursor while the mouse is over it, a tooltip with its target, and, when clicked,
// the target opened through the desktop with an error report when that fails.
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QTimer>

#include <functional>

namespace velmora {

class CHyperLink : public QLabel {
    Q_OBJECT
public:
    // Shell-style results of opening a target: above 32 is success.
    static constexpr int kOpenSucceeded = 33;
    static constexpr int kHoverIntervalMs = 100;

    // Opens a target and returns a shell-style result code.
    using Opener = std::function<int(const QString& target)>;

    explicit CHyperLink(QWidget* parent = nullptr);
    explicit CHyperLink(const QString& text, QWidget* parent = nullptr);
    ~CHyperLink() override;

    // Takes over the label as it stands (text, font, place): the target and the text fill each
    // other in when one is empty, the fonts are made, the label is fitted to its text, and the
    // cursor and the tooltip are set. Call once, after the text and the geometry are in place.
    void Attach();
    bool attached() const { return attached_; }

    // Stores the target; once attached, refits the label and changes the tooltip to it.
    void SetLinkTarget(const QString& target);
    QString linkTarget() const { return target_; }

    void SetColours(const QColor& link, const QColor& visited, const QColor& hover);
    QColor linkColour() const { return linkColour_; }
    QColor visitedColour() const { return visitedColour_; }
    QColor hoverColour() const { return hoverColour_; }
    // The colour the text is drawn in now.
    QColor currentColour() const;

    // -1 underline while hovered (the default), 1 always, anything else never.
    void SetUnderlineMode(int mode);
    int underlineMode() const { return underlineMode_; }
    void SetAdjustToFit(bool on) { adjustToFit_ = on; }
    bool adjustToFit() const { return adjustToFit_; }

    bool isOver() const { return over_; }
    bool isVisited() const { return visited_; }
    bool hoverTimerActive() const { return hoverTimer_.isActive(); }

    // The function used to open targets. Each link may have its own; without one, the
    // process-wide default below is used.
    void SetOpener(Opener opener) { opener_ = std::move(opener); }
    static Opener& DefaultOpener();

    // The desktop's way of opening a target, as a shell-style code (see the .cpp for the
    // mapping of the desktop's failures onto those codes).
    static int OpenTarget(const QString& target);
    // The text shown after "Unable to open hyperlink:\n\n" for a failed result.
    static QString OpenErrorText(int code);

    // Fits the label to its text with the current font (only once attached and with adjust to
    // fit on).
    void FitToText();

signals:
    // A click was handled: the result of opening the target.
    void clicked(int result);

protected:
    void mouseMoveEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void OnHoverTimer();
    void OnClick();
    void ApplyColour();
    void UseFont(bool underlined);

    QColor linkColour_{0, 0, 238};
    QColor visitedColour_{85, 26, 139};
    QColor hoverColour_{255, 0, 0};
    bool over_ = false;
    bool visited_ = false;
    int underlineMode_ = -1;
    bool adjustToFit_ = true;
    bool attached_ = false;
    bool pressed_ = false;
    bool settingFont_ = false;
    QString target_;
    QFont standardFont_;
    QFont underlinedFont_;
    QTimer hoverTimer_;
    Opener opener_;
};

}  // namespace velmora
