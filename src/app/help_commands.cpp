#include "app/help_commands.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "app/about_dlg.h"
#include "app/command_ids.h"
#include "app/option_dlg.h"
#include "app/zeph_dlg.h"
#include "controls/desktop_open.h"
#include "controls/report_ctrl.h"
#include "filelist/file_scan.h"
#include "settings/settings_store.h"

namespace velmora {

QString HelpFilePath(const QString& exeFolder) {
    const QString beside = QDir(exeFolder).filePath(QStringLiteral("Help.html"));
    if (QFileInfo::exists(beside)) return beside;
    const QString installed =
        QDir::cleanPath(QDir(exeFolder).filePath(QStringLiteral("../share/doc/velmora/Help.html")));
    if (QFileInfo::exists(installed)) return installed;
    return beside;
}

QString HelpCommandTarget(int command, const QString& exeFolder) {
    switch (command) {
    case ID_HELP_CONTENT: return HelpFilePath(exeFolder);
    case ID_DOWNLOAD: return QString::fromLatin1(kDownloadAddress);
    case ID_EMAIL_SUPPORT: return QStringLiteral("mailto:") + QString::fromLatin1(kSupportMailAddress);
    case ID_ONLINE_SUPPORT: return QString::fromLatin1(kOnlineSupportAddress);
    default: return {};
    }
}

std::function<void(const QString& target)>& HelpOpener() {
    static std::function<void(const QString&)> opener = [](const QString& target) {
        OpenWithDesktop(target, QApplication::activeWindow());
    };
    return opener;
}

void RegisterOptionsAndHelpCommands(CZEPHDlg& dlg) {
    CZEPHDlg* main = &dlg;
    dlg.SetCommandHandler(ID_OPTIONS, [main] {
        // Whatever the result (a Reset counts even after Cancel), what shows the settings
        // follows the record as it is now; the list's next sort uses its order of names.
        auto refresh = [main] {
            main->ShowEncoderSummary();
            if (CReportCtrl* list = main->fileList()) list->SetNaturalTextOrder(main->settings().naturalSort != 0);
            main->scanExtensions = LoadExtensions(main->settings().otherAudioFiles);
        };
        COption options(main->settings(), main);
        options.SetResetCallback(refresh);
        options.exec();
        refresh();
    });
    const QString exeFolder = QString::fromStdString(ModuleFolder());
    for (int command : {ID_HELP_CONTENT, ID_DOWNLOAD, ID_EMAIL_SUPPORT, ID_ONLINE_SUPPORT}) {
        dlg.SetCommandHandler(command, [command, exeFolder] {
            // Looked up at each use: an installed help file may appear while the program runs.
            HelpOpener()(HelpCommandTarget(command, exeFolder));
        });
    }
    dlg.SetCommandHandler(ID_ABOUT, [main] {
        CAboutDlg about(main);
        about.exec();
    });
}

}  // namespace velmora
