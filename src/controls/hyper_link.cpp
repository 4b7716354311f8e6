#include "controls/hyper_link.h"

#include "controls/view_look.h"
#include "settings/app_settings.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QMessageBox>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QUrl>

namespace velmora {

namespace {

bool HasScheme(const QString& target) {
    // "mailto:x", "https://x", "file:///x". A drive-less Linux path never has a colon before
    // its first "/", and a bare host name has none at all.
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    return scheme.match(target).hasMatch();
}

// The result for a local file target that cannot be opened before the desktop is asked.
int LocalFileProblem(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) return QFileInfo(info.absolutePath()).isDir() ? 2 : 3;
    if (!info.isReadable()) return 5;
    return 0;
}

}  // namespace

CHyperLink::CHyperLink(QWidget* parent) : CHyperLink(QString(), parent) {}

CHyperLink::CHyperLink(const QString& text, QWidget* parent) : QLabel(text, parent) {
    // Top-left unless the dialog asks otherwise: vertical centring is the centre-image style.
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setTextFormat(Qt::PlainText);
    setMouseTracking(true);
    hoverTimer_.setInterval(kHoverIntervalMs);
    connect(&hoverTimer_, &QTimer::timeout, this, &CHyperLink::OnHoverTimer);
    ApplyColour();
}

CHyperLink::~CHyperLink() { hoverTimer_.stop(); }

CHyperLink::Opener& CHyperLink::DefaultOpener() {
    static Opener opener = [](const QString& target) { return CHyperLink::OpenTarget(target); };
    return opener;
}

void CHyperLink::Attach() {
    // 1. Clicks are reported by the mouse handlers below.
    // 2. Target and text fill each other in.
    if (target_.isEmpty()) target_ = text();
    if (text().isEmpty()) setText(target_);
    // 3. The label's own font (a widget always has one: the application's GUI font).
    standardFont_ = font();
    standardFont_.setUnderline(false);
    underlinedFont_ = standardFont_;
    underlinedFont_.setUnderline(true);
    attached_ = true;
    // 4.
    FitToText();
    // 5. The hand cursor is always available here.
    setCursor(Qt::PointingHandCursor);
    // 6. Underline while hovered.
    underlineMode_ = -1;
    UseFont(false);
    update();
    // 7.
    setToolTip(target_);
}

void CHyperLink::SetLinkTarget(const QString& target) {
    target_ = target;
    if (attached_) {
        FitToText();
        setToolTip(target_);
    }
}

void CHyperLink::SetColours(const QColor& link, const QColor& visited, const QColor& hover) {
    linkColour_ = link;
    visitedColour_ = visited;
    hoverColour_ = hover;
    ApplyColour();
}

QColor CHyperLink::currentColour() const {
    const QColor colour = over_ ? hoverColour_ : visited_ ? visitedColour_ : linkColour_;
    if (!IsDarkPalette(palette())) return colour;
    // The web's link colours vanish on a dark background: lighter ones of the same hues.
    if (colour == QColor(0, 0, 238)) return QColor(130, 170, 255);
    if (colour == QColor(85, 26, 139)) return QColor(200, 150, 255);
    if (colour == QColor(255, 0, 0)) return QColor(255, 130, 120);
    return colour;
}

void CHyperLink::SetUnderlineMode(int mode) {
    underlineMode_ = mode;
    if (attached_) {
        UseFont(mode == 1 || (mode == -1 && over_));
        update();
    }
}

void CHyperLink::FitToText() {
    if (!attached_ || !adjustToFit_) return;
    const QRect window = geometry();
    const QRect client = contentsRect();
    const int borderX = window.width() - client.width();
    const int borderY = window.height() - client.height();
    const QFontMetrics fm(font());
    const QSize textSize = fm.size(0, text());
    QRect r = window;
    const int height = textSize.height() + borderY;
    if (alignment() & Qt::AlignVCenter) {
        const int grow = height - r.height();
        r.setTop(r.top() - grow / 2);
        r.setBottom(r.top() + height - 1);
    } else {
        r.setHeight(height);
    }
    const int width = textSize.width() + borderX;
    if (alignment() & Qt::AlignHCenter) {
        const int grow = width - r.width();
        r.setLeft(r.left() - grow / 2);
        r.setWidth(width);
    } else if (alignment() & Qt::AlignRight) {
        r.setLeft(r.right() + 1 - width);
    } else {
        r.setWidth(width);
    }
    setGeometry(r);
}

void CHyperLink::ApplyColour() {
    QPalette p = palette();
    p.setColor(QPalette::WindowText, currentColour());
    setPalette(p);
}

void CHyperLink::UseFont(bool underlined) {
    if (!attached_) return;
    settingFont_ = true;
    setFont(underlined ? underlinedFont_ : standardFont_);
    settingFont_ = false;
}

void CHyperLink::changeEvent(QEvent* e) {
    // A font given to the label from outside becomes its standard font.
    if (e->type() == QEvent::FontChange && attached_ && !settingFont_) {
        standardFont_ = font();
        standardFont_.setUnderline(false);
        underlinedFont_ = standardFont_;
        underlinedFont_.setUnderline(true);
        FitToText();
    }
    QLabel::changeEvent(e);
}

void CHyperLink::mouseMoveEvent(QMouseEvent* e) {
    if (!over_) {
        over_ = true;
        if (underlineMode_ == -1) UseFont(true);
        ApplyColour();
        update();
        hoverTimer_.start();
    }
    QLabel::mouseMoveEvent(e);
}

void CHyperLink::OnHoverTimer() {
    if (rect().contains(mapFromGlobal(QCursor::pos()))) return;
    over_ = false;
    hoverTimer_.stop();
    if (underlineMode_ != 1) UseFont(false);
    ApplyColour();
    // The underline may reach below the label's text rectangle.
    update(rect().adjusted(0, 0, 0, 10));
}

void CHyperLink::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) pressed_ = true;
    QLabel::mousePressEvent(e);
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* e) {
    // A static control reports a click when the button goes up over it.
    const bool click = pressed_ && e->button() == Qt::LeftButton && rect().contains(e->position().toPoint());
    pressed_ = false;
    QLabel::mouseReleaseEvent(e);
    if (click) OnClick();
}

void CHyperLink::OnClick() {
    over_ = false;
    const Opener& open = opener_ ? opener_ : DefaultOpener();
    const int r = open(target_);
    visited_ = r > 32;
    ApplyColour();
    update();
    if (r <= 32) {
        QApplication::beep();
        QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kProductName),
                        QStringLiteral("Unable to open hyperlink:\n\n") + OpenErrorText(r), QMessageBox::Ok, this);
        box.exec();
    }
    emit clicked(r);
}

QString CHyperLink::OpenErrorText(int code) {
    switch (code) {
    case 0: return QStringLiteral("The operating system is out\nof memory or resources.");
    case 2: return QStringLiteral("The specified file was not found.");
    case 3: return QStringLiteral("The specified path was not found.");
    case 5: return QStringLiteral("The operating system denied\naccess to the specified file.");
    case 8: return QStringLiteral("There was not enough memory to complete the operation.");
    case 11: return QStringLiteral("The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).");
    case 26: return QStringLiteral("A sharing violation occurred. ");
    case 27: return QStringLiteral("The filename association is\nincomplete or invalid.");
    case 28:
        return QStringLiteral("The DDE transaction could not\nbe completed because the request timed out.");
    case 29: return QStringLiteral("The DDE transaction failed.");
    case 30:
        return QStringLiteral(
            "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed.");
    case 31: return QStringLiteral("There is no application associated\nwith the given filename extension.");
    case 32: return QStringLiteral("The specified dynamic-link library was not found.");
    default: return QStringLiteral("Unknown Error (%1) occurred.").arg(code);
    }
}

// The desktop's failures mapped onto the shell's codes:
//   empty target                                  -> 2 (file not found)
//   local file missing, its folder present        -> 2; folder missing too -> 3 (path not found)
//   local file present but unreadable             -> 5 (access denied)
//   the desktop refused to open it (no handler)   -> 31 (no associated application)
// Step 1 opens a target with a scheme, or an existing local path, as it is. A target that is
// neither (a bare host name such as "www.example.com") has no file of that name; where the
// shell would then hand it to the program registered for web pages, we hand "http://" + target
// to the desktop's web browser, and report 2 when it is a path-like text that names nothing.
int CHyperLink::OpenTarget(const QString& target) {
    if (target.isEmpty()) return 2;
    QUrl url;
    if (HasScheme(target)) {
        url = QUrl(target);
        if (url.isLocalFile()) {
            if (const int problem = LocalFileProblem(url.toLocalFile())) return problem;
        }
    } else if (target.startsWith(QLatin1Char('/')) || target.startsWith(QLatin1String("./")) ||
               target.startsWith(QLatin1String("../")) || QFileInfo::exists(target)) {
        if (const int problem = LocalFileProblem(target)) return problem;
        url = QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath());
    } else {
        url = QUrl(QStringLiteral("http://") + target);
    }
    if (!url.isValid()) return 2;
    return QDesktopServices::openUrl(url) ? kOpenSucceeded : 31;
}

}  // namespace velmora
