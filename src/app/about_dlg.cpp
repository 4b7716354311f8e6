#include "app/about_dlg.h"

#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "controls/dialog_units.h"
#include "controls/hyper_link.h"
#include "engine/library_versions.h"

namespace velmora {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Velmora"));
    setObjectName(QStringLiteral("aboutDialog"));
    const DialogUnits du(font());
    auto place = [&](QWidget* w, int id, int x, int y, int width, int height) {
        return controls_.Place(w, id, QRect(x, y, width, height), du);
    };
    auto label = [&](const char* text, Qt::Alignment align, int x, int y, int width, int height) {
        auto* l = new QLabel(QString::fromUtf8(text), this);
        l->setAlignment(align);
        place(l, 0, x, y, width, height);
        // Never clipped by a wider desktop font (the links start well to the right).
        if (l->sizeHint().width() > l->width() && !(align & Qt::AlignHCenter))
            l->resize(l->sizeHint().width(), l->height());
        return l;
    };
    auto line = [&](int x, int y, int width) {
        auto* f = new QFrame(this);
        f->setFrameShape(QFrame::HLine);
        f->setFrameShadow(QFrame::Sunken);
        place(f, 0, x, y, width, 1);
        f->setFixedHeight(2);
    };

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    place(icon, 0, 6, 4, 21, 20);
    const int side = std::min(icon->width(), icon->height());
    icon->setPixmap(QIcon(QStringLiteral(":/icons/velmora.svg")).pixmap(side, side));
    auto* product = label(kAboutProductLine, Qt::AlignLeft | Qt::AlignVCenter, 54, 8, 103, 13);
    product->setTextFormat(Qt::PlainText);  // no prefix processing
    product->setObjectName(QStringLiteral("productLine"));
    line(7, 27, 197);
    label("Homepage:", Qt::AlignLeft | Qt::AlignTop, 20, 33, 37, 12);
    homepage_ = new CHyperLink(QString::fromLatin1(kHomepageAddress), this);
    place(homepage_, IDC_HOMEPAGE, 71, 33, 77, 12);
    label("Support:", Qt::AlignLeft | Qt::AlignTop, 20, 51, 37, 12);
    support_ = new CHyperLink(QString::fromLatin1(kSupportMailAddress), this);
    place(support_, IDC_SUPPORT, 71, 51, 95, 12);
    line(7, 68, 197);
    label(kThanksLine, Qt::AlignHCenter | Qt::AlignTop, 7, 71, 197, 20)->setWordWrap(true);
    label(kMakerNoticeLine1, Qt::AlignHCenter | Qt::AlignTop, 7, 92, 197, 12);
    label(kMakerNoticeLine2, Qt::AlignHCenter | Qt::AlignTop, 7, 108, 197, 12);
    line(7, 123, 197);
    auto* licence = label(kLicenceLine, Qt::AlignHCenter | Qt::AlignTop, 7, 127, 197, 20);
    licence->setWordWrap(true);
    licence->setObjectName(QStringLiteral("licenceLine"));
    auto* credits = new QLabel(CreditsText(), this);
    credits->setObjectName(QStringLiteral("creditsLine"));
    credits->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    credits->setWordWrap(true);
    credits->setTextInteractionFlags(Qt::TextSelectableByMouse);  // for a bug report
    place(credits, 0, 7, 149, 197, 20);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    place(ok, 1, 82, 173, 48, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    setFixedSize(du.ToPixels(QSize(212, 191)));
    OnInitDialog();
}

CAboutDlg::~CAboutDlg() = default;

QString CAboutDlg::CreditsText() {
    QStringList parts{QStringLiteral("Qt %1").arg(QString::fromLatin1(qVersion()))};
    for (const LibraryVersion& library : EngineLibraryVersions()) {
        const QString name = QString::fromStdString(library.name);
        parts << (library.version.empty() ? name : name + QLatin1Char(' ') + QString::fromStdString(library.version));
    }
    const QString last = parts.takeLast();
    return QStringLiteral("Built on %1 and %2.").arg(parts.join(QStringLiteral(", ")), last);
}

QWidget* CAboutDlg::Control(int id) const {
    return controls_.Find(id);
}

void CAboutDlg::OnInitDialog() {
    homepage_->SetLinkTarget(QString::fromLatin1(kHomepageAddress));
    homepage_->Attach();
    support_->SetLinkTarget(QStringLiteral("mailto:") + QString::fromLatin1(kSupportMailAddress));
    support_->Attach();
}

}  // namespace velmora
