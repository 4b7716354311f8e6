#include "join/join_each.h"

#include "engine/join_runner.h"
#include "filelist/book_folders.h"
#include "filelist/file_scan.h"
#include "settings/app_settings.h"
#include "settings/settings_store.h"

#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QProgressDialog>
#include <QThread>

#include <atomic>
#include <filesystem>
#include <memory>

namespace velmora {

namespace {

struct Gathered {
    BookLibrary library;
    std::vector<CConversionTask> tasks;
};

// Reading every input of a library takes a while (each file is opened and measured), so it
// runs on a thread of its own; the busy dialog shows after half a second and can cancel it.
bool GatherBooks(QWidget* owner, const std::string& folder, const AppSettings& settings,
                 const std::string& outputFolder, Gathered& out) {
    std::atomic<int> keepGoing{1};
    QThread* worker = QThread::create([&] {
        out.library = FindBookFolders({folder}, LoadExtensions(settings.otherAudioFiles), &keepGoing);
        // No setting names outputs after titles (the book dialog's choice belongs to the
        // list's join): each book is named after its folder.
        out.tasks = PlanBookTasks(out.library.books, settings, outputFolder, false, &keepGoing,
                                  uint64_t(settings.maxPartMinutes) * 60000);
    });
    QProgressDialog busy(QStringLiteral("Reading the books..."), QStringLiteral("Cancel"), 0, 0, owner);
    busy.setWindowModality(Qt::WindowModal);
    busy.setMinimumDuration(500);
    QEventLoop loop;
    QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    QObject::connect(&busy, &QProgressDialog::canceled, &loop, [&keepGoing] { keepGoing.store(0); });
    worker->start();
    loop.exec();
    worker->wait();
    delete worker;
    return keepGoing.load() != 0;
}

}  // namespace

JoinOutcome JoinEachSubfolder(const JoinCommandContext& context, const QString& folder) {
    // Not refused while the window is busy: the right click that opens the tree's menu selects
    // the folder and so starts loading it, and that load only fills the list, which this
    // command neither reads nor changes.
    if (!context.settings || folder.isEmpty()) return JoinOutcome::Ignored;
    const AppSettings& settings = *context.settings;
    // The books go to the output folder of the options, whatever "ask for the path" says: a
    // Save As per book would undo "in one go".
    std::string outputFolder = settings.outputFolder.empty() ? DefaultOutputFolder() : settings.outputFolder;
    if (outputFolder.back() != '/') outputFolder += '/';

    Gathered found;
    if (!GatherBooks(context.owner, QFile::encodeName(folder).toStdString(), settings, outputFolder, found))
        return JoinOutcome::Cancelled;
    if (found.library.books.empty()) {
        QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kProductName),
                        QString::fromLatin1(kNoBooksText).arg(folder), QMessageBox::Ok, context.owner);
        box.exec();
        return JoinOutcome::NotEnoughFiles;
    }
    if (!std::filesystem::is_directory(std::filesystem::u8path(outputFolder)))
        CreateFolderPath(outputFolder);  // a failure shows as the encoder's "Error creating file"

    auto run = std::make_shared<JoinRunState>();
    SetRunTasks(*run, std::move(found.tasks), std::move(found.library.notes));
    AppSettings used = settings;
    used.askOutputPath = 0;  // a taken name gets " (2)" as each book starts
    RunUnderProgressDialog(context, used, run);
    return JoinOutcome::Ran;
}

}  // namespace velmora
