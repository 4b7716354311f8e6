#include "controls/desktop_open.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace velmora {

void SayNoProgramCouldOpen(QWidget* owner, const QString& target) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Velmora"), QStringLiteral("No program could open %1.").arg(target),
                    QMessageBox::Ok, owner);
    box.setObjectName(QStringLiteral("noProgramBox"));
    box.exec();
}

bool OpenWithDesktop(const QString& target, QWidget* owner, std::function<void()> failed) {
    QPointer<QWidget> guard(owner);
    auto fail = [guard, target, failed = std::move(failed)] {
        if (failed)
            failed();
        else
            SayNoProgramCouldOpen(guard, target);
    };
    const QString xdgOpen = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (xdgOpen.isEmpty()) {
        const QUrl url = target.startsWith(QLatin1Char('/')) ? QUrl::fromLocalFile(target) : QUrl(target);
        if (QDesktopServices::openUrl(url)) return true;
        fail();
        return false;
    }
    // Parented to the application, not to the window: a program the user opened outlives the
    // window that asked for it. xdg-open may wait for that program, so nothing waits on it.
    auto* process = new QProcess(qApp);
    process->setProgram(xdgOpen);
    process->setArguments({target});
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process, [process, fail](int code, QProcess::ExitStatus status) {
        process->deleteLater();
        if (status != QProcess::NormalExit || code != 0) fail();
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, fail](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;
        process->deleteLater();
        fail();
    });
    process->start();
    return true;
}

}  // namespace velmora
