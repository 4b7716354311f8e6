#include "app/zeph_app.h"

#include <QFileInfo>
#include <QIcon>

#include "app/instance_guard.h"
#include "app/zeph_dlg.h"

namespace velmora {

namespace {
// How long a second start waits for the running instance to answer.
constexpr int kComeForwardTimeoutMs = 1500;
}  // namespace

CZEPHApp::CZEPHApp(int& argc, char** argv) : QApplication(argc, argv) {
    // The instance name doubles as the application name: the caption of untitled message
    // boxes and the last component of the profile's path.
    setApplicationName(InstanceName());
    setOrganizationName(QString::fromLatin1(kProfileOrganisation));
    // The taskbar mirror and the window manager find the desktop entry by this name.
    setDesktopFileName(QStringLiteral("velmora"));
    setQuitOnLastWindowClosed(false);
}

CZEPHApp::~CZEPHApp() = default;

QString CZEPHApp::InstanceName() {
    // completeBaseName keeps dots inside the name ("velmora.test.bin" -> "velmora.test").
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

bool CZEPHApp::InitInstance() {
    guard_ = new CInstanceGuard(InstanceName(), this);
    if (!guard_->TryBecomeFirst()) {
        // Another instance runs: it comes to the front (with its open dialog) and we end
        // without showing anything, whether or not it answered.
        guard_->AskRunningToComeForward(kComeForwardTimeoutMs);
        return false;
    }
    // Requests that arrive while the window is still being built wait in the socket's
    // backlog and are answered once the modal loop runs.
    guard_->Listen();

    CZEPHDlg dlg;
    connect(guard_, &CInstanceGuard::comeForward, &dlg, &CZEPHDlg::BringToFront);
    dlg.DoModal();
    return false;
}

}  // namespace velmora
