// Windows that live only inside a modal run: the folder picker, and the progress dialog of a
// real join started from the main window with its Join command. Each is photographed while it
// runs (it goes with the run), and the tool is given that picture as it showed.
#include "app/command_ids.h"
#include "app/file_loader.h"
#include "app/folder_dialog.h"
#include "app/zeph_dlg.h"
#include "controls/report_ctrl.h"
#include "join/conv_prog.h"
#include "screens_registry.h"
#include "settings/app_settings.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <functional>

namespace {

QString Home() { return velmora::screens::ScratchHome(); }

// Waits while `run` holds a modal loop; `take` is offered the active modal window every 20 ms
// and returns true once it has taken its picture and closed the window.
QPixmap PhotographModal(const std::function<void()>& run, const std::function<bool(QWidget*, QPixmap&)>& take,
                        int limitMs) {
    QPixmap picture;
    bool taken = false;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        if (!taken) taken = take(modal, picture);
        // Whatever is still open after the limit is closed, so the tool never hangs.
        if (!taken && clock.elapsed() > limitMs) QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
    });
    poll.start();
    run();
    return taken ? picture : QPixmap();
}

std::unique_ptr<QWidget> PictureWindow(const QPixmap& picture, const QString& title) {
    if (picture.isNull()) return nullptr;
    auto label = std::make_unique<QLabel>();
    label->setWindowTitle(title);
    label->setPixmap(picture);
    label->setFixedSize(picture.size() / picture.devicePixelRatio());
    return label;
}

bool MakeTone(const QString& mp3, int hz, const QString& title) {
    const QString wav = mp3 + QStringLiteral(".wav");
    QProcess sox;
    sox.start(QStringLiteral("sox"), {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("44100"),
                                      QStringLiteral("-c"), QStringLiteral("2"), wav, QStringLiteral("synth"),
                                      QStringLiteral("20"), QStringLiteral("sine"), QString::number(hz)});
    if (!sox.waitForFinished(30000) || sox.exitCode() != 0) return false;
    QProcess lame;
    lame.start(QStringLiteral("lame"), {QStringLiteral("--quiet"), QStringLiteral("-b"), QStringLiteral("128"),
                                        QStringLiteral("--tt"), title, QStringLiteral("--ta"),
                                        QStringLiteral("Northern Lines"), wav, mp3});
    const bool ok = lame.waitForFinished(30000) && lame.exitCode() == 0;
    QFile::remove(wav);
    return ok;
}

}  // namespace

VELMORA_SCREEN(folder_picker) {
    const QString start = Home() + QStringLiteral("/Music");
    velmora::CFolderDialog picker(QStringLiteral("Specify the Output Folder"), start);
    const QPixmap picture = PhotographModal([&] { picker.DoModal(); },
                                            [&](QWidget* modal, QPixmap& shot) {
                                                QFileDialog* browser = picker.browser();
                                                if (!browser || modal != browser || !browser->isVisible()) return false;
                                                // The folder list fills in the background.
                                                velmora::screens::Settle(400);
                                                shot = browser->grab();
                                                browser->reject();
                                                return true;
                                            },
                                            10000);
    return PictureWindow(picture, QStringLiteral("Specify the Output Folder"));
}

// The main window over the three tones of a live set, loaded from its folder by the loader.
std::unique_ptr<velmora::CZEPHDlg> LoadedWindow() {
    const QString folder = Home() + QStringLiteral("/Music/Radio Edits");
    const struct {
        const char* name;
        int hz;
    } tones[] = {{"01 Opening.mp3", 330}, {"02 Harbour.mp3", 440}, {"03 Night Bus.mp3", 550}};
    for (const auto& t : tones)
        if (!QFile::exists(folder + QLatin1Char('/') + QLatin1String(t.name)) &&
            !MakeTone(folder + QLatin1Char('/') + QLatin1String(t.name), t.hz, QString::fromLatin1(t.name).chopped(4)))
            return nullptr;

    // The pictures are taken without a close: nothing ends the process.
    velmora::CZEPHDlg::ProcessEnd() = [](int) {};
    auto window = std::make_unique<velmora::CZEPHDlg>();
    window->OnInitDialog();
    window->resize(1180, 640);
    window->show();
    velmora::AppSettings& settings = window->settings();
    settings.outputFolder = (Home() + QStringLiteral("/Music/Joined/")).toStdString();
    settings.defaultFileName = "Live Set 2024";
    velmora::CFileLoader& loader = velmora::FileLoaderOf(*window);
    loader.WaitIdle(30000);
    loader.LoadTreeFolder(folder, Qt::NoModifier);
    if (!loader.WaitIdle(30000) || window->fileList()->GetItemCount() != 3) return nullptr;
    return window;
}

VELMORA_SCREEN(join_save_as) {
    auto window = LoadedWindow();
    if (!window) return nullptr;
    window->settings().askOutputPath = 1;
    // The dialog opens in the current folder; the picture shows the scratch account's.
    const QString cwd = QDir::currentPath();
    QDir::setCurrent(Home() + QStringLiteral("/Music/Joined"));
    // Cancelled once photographed: nothing is written.
    const QPixmap picture = PhotographModal([&] { window->OnCommand(velmora::ID_JOIN); },
                                            [](QWidget* modal, QPixmap& shot) {
                                                auto* saveAs = qobject_cast<QFileDialog*>(modal);
                                                if (!saveAs || !saveAs->isVisible()) return false;
                                                velmora::screens::Settle(400);
                                                shot = saveAs->grab();
                                                saveAs->reject();
                                                return true;
                                            },
                                            20000);
    QDir::setCurrent(cwd);
    return PictureWindow(picture, QStringLiteral("Save As"));
}

VELMORA_SCREEN(join_progress_from_window) {
    auto window = LoadedWindow();
    if (!window) return nullptr;
    window->settings().askOutputPath = 0;
    const QPixmap picture = PhotographModal([&] { window->OnCommand(velmora::ID_JOIN); },
                                            [](QWidget* modal, QPixmap& shot) {
                                                auto* progress = qobject_cast<velmora::CConvProg*>(modal);
                                                if (!progress || progress->windowTitle() != QStringLiteral("Finished Joining"))
                                                    return false;
                                                velmora::screens::Settle(100);
                                                shot = progress->grab();
                                                // Finish, as a person would.
                                                progress->cancelButton()->click();
                                                return true;
                                            },
                                            60000);
    if (!QFile::exists(Home() + QStringLiteral("/Music/Joined/Live Set 2024.mp3"))) return nullptr;
    return PictureWindow(picture, QStringLiteral("Finished Joining"));
}
