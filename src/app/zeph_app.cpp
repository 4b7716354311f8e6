#include "app/zeph_app.h"

#include <cstdio>

#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QTimer>

#include "app/file_loader.h"
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

int CZEPHApp::InitInstance() {
    // Files and folders to load, as a drop loads them (Qt has taken its own options out);
    // made absolute here, since a running instance may have another working folder.
    QStringList paths;
    for (const QString& a : arguments().mid(1)) paths << QFileInfo(a).absoluteFilePath();
    guard_ = new CInstanceGuard(InstanceName(), this);
    if (!guard_->TryBecomeFirst()) {
        // Another instance runs: it comes to the front (with its open dialog) and loads what
        // we were given, and we end without showing anything. Files it did not take would be
        // lost without a word, so that is said; a plain start that goes unanswered loses
        // nothing.
        if (!guard_->AskRunningToOpen(paths, kComeForwardTimeoutMs) && !paths.isEmpty()) {
            std::fprintf(stderr, "%s: the running instance did not confirm that it took the %lld file(s) and folder(s) given\n",
                         QFile::encodeName(InstanceName()).constData(), static_cast<long long>(paths.size()));
            return 1;
        }
        return 0;
    }
    // Requests that arrive while the window is still being built wait in the socket's
    // backlog and are answered once the modal loop runs.
    guard_->Listen();

    CZEPHDlg dlg;
    connect(guard_, &CInstanceGuard::comeForward, &dlg, &CZEPHDlg::BringToFront);
    connect(guard_, &CInstanceGuard::openPaths, &dlg, [&dlg](const QStringList& p) { FileLoaderOf(dlg).QueueOpen(p); });
    // Queued once the window's loop runs; they load after the start-up load.
    if (!paths.isEmpty()) QTimer::singleShot(0, &dlg, [&dlg, paths] { FileLoaderOf(dlg).QueueOpen(paths); });
    dlg.DoModal();
    return 0;
}

}  // namespace velmora
