#include "join/join_command.h"

#include "controls/report_ctrl.h"
#include "controls/report_item_info.h"
#include "engine/book_parts.h"
#include "engine/encoder.h"
#include "engine/join_runner.h"
#include "filelist/file_item_info.h"
#include "filelist/file_list_columns.h"
#include "filelist/list_locked.h"
#include "join/book_edits.h"
#include "join/conv_prog.h"
#include "settings/app_settings.h"
#include "settings/settings_store.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include <filesystem>
#include <system_error>

namespace velmora {

namespace {

void ShowBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text) {
    // A box without a caption of its own carries the application name.
    QMessageBox box(icon, caption.isEmpty() ? QString::fromLatin1(kProductName) : caption, text,
                    QMessageBox::Ok, owner);
    box.exec();
}

// The path the user picked, or empty after Cancel. `suggested` fills the name box.
QString AskOutputPath(QWidget* owner, const QString& suggested) {
    // The filter text is a description followed by an empty pattern. We show the description
    // as the dialog's one filter, so the dialog lists the MP3 files of a folder, which is
    // what someone about to name an MP3 wants to see.
    // An M4B output lists the folder's M4B files instead.
    const bool m4b = suggested.endsWith(QStringLiteral(".m4b"), Qt::CaseInsensitive);
    const QString description =
        m4b ? QStringLiteral("M4B Audiobooks (*.m4b)") : SaveAsFilterText().section(QLatin1Char('|'), 0, 0);
    QFileDialog dialog(owner);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(m4b ? QStringLiteral("m4b") : QStringLiteral("mp3"));
    dialog.setNameFilter(description);
    // Overwriting asks first (QFileDialog's default; said here so nobody turns it off).
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    if (!suggested.isEmpty()) dialog.selectFile(suggested);
    if (dialog.exec() != QDialog::Accepted) return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

// True when `output` names the same file as one of the inputs (the same directory entry, or
// another name of the same file through a link).
bool OutputIsInput(const std::string& output, const FileList& files) {
    namespace fs = std::filesystem;
    const fs::path out = fs::u8path(output);
    for (const CFileToBeJoin& f : files) {
        const fs::path in = fs::u8path(f.path);
        std::error_code ec;
        if (fs::equivalent(out, in, ec) && !ec) return true;
        // A path that does not exist yet cannot be an existing input; the lexical check is
        // for an input deleted since it was listed, which the job would recreate otherwise.
        if (out.lexically_normal() == in.lexically_normal()) return true;
    }
    return false;
}

}  // namespace

void RunUnderProgressDialog(const JoinCommandContext& context, const AppSettings& settings,
                            const std::shared_ptr<JoinRunState>& run) {
    std::shared_ptr<JoinEngine> engine = context.engine ? context.engine : std::make_shared<JoinEngine>();
    // A fresh run state for each join. Nothing of the engine is replaced while a worker of its
    // earlier run lives (it still reads the run, the settings and the encoder): the dialog then
    // refuses to start.
    if (!engine->activeRun->WorkerStillRunning()) {
        engine->settings = settings;
        if (!engine->encodeTask)
            engine->encodeTask = [](JoinEngine& e, CConversionTask& t) { return EncodeTask(e, t); };
    }
    // No parent: the dialog is a window of its own, modal over the whole application.
    CConvProg dialog(engine, nullptr, context.profile, run);
    dialog.exec();
    // The dialog and its log go; the window keeps a line on what a cancel left behind.
    const QString kept = CancelledStatusText(run->cutShort.path, run->cutShort.seconds, run->cutShort.totalSeconds);
    if (!kept.isEmpty() && context.showStatus) context.showStatus(kept);
}

QString CancelledStatusText(const std::string& path, double seconds, double totalSeconds) {
    if (path.empty()) return {};
    auto clock = [](double seconds) {
        return QString::fromStdString(PlayerClockText(seconds > 0 ? static_cast<uint64_t>(seconds * 1000) : 0));
    };
    return QStringLiteral("Cancelled: %1 holds %2 of %3")
        .arg(QFileInfo(QString::fromStdString(path)).fileName(), clock(seconds), clock(totalSeconds));
}

QString SaveAsFilterText() {
    return QStringLiteral("MP3 Files (*.") + QStringLiteral("mp3") + QStringLiteral(")||");
}

int RemoveDeadRows(CReportCtrl& list) {
    int removed = 0;
    for (int row = list.GetItemCount() - 1; row >= 0; --row) {
        if (IsDeadPath(FullPathOf(list.GetItemText(row, kColPath), list.GetItemText(row, kColName)))) {
            list.DeleteItemEx(row);
            ++removed;
        }
    }
    return removed;
}

JoinOutcome JoinFiles(const JoinCommandContext& context, bool selectedOnly) {
    if (!context.list || !context.settings) return JoinOutcome::Ignored;
    if (IsListLocked() || (context.isBusy && context.isBusy())) return JoinOutcome::Ignored;
    CReportCtrl& list = *context.list;
    const AppSettings& settings = *context.settings;

    if (context.removeDead)
        context.removeDead();
    else
        RemoveDeadRows(list);

    const int chosen = selectedOnly ? list.CountItemsByState(kStateSelected) : list.GetItemCount();
    auto notEnough = [&] {
        ShowBox(context.owner, QMessageBox::Warning, QString::fromLatin1(kNotEnoughFilesCaption),
                QString::fromLatin1(kNotEnoughFilesText));
        return JoinOutcome::NotEnoughFiles;
    };
    if (chosen < 2) return notEnough();

    if (settings.askOutputPath == 0 && !settings.outputFolder.empty() &&
        !std::filesystem::is_directory(std::filesystem::u8path(settings.outputFolder))) {
        // Not examined: a folder that cannot be made shows up as the encoder's
        // "Error creating file" line in the progress dialog.
        CreateFolderPath(settings.outputFolder);
    }

    CConversionTask task;
    task.outputKind = OutputKindOf(settings);
    const std::vector<JoinRow> rows = GatherJoinRows(list, selectedOnly);
    for (const JoinRow& r : rows) task.files->push_back(r.file);
    // Every chosen row unreadable: there is nothing to encode and no channel count to take
    // from the inputs, so this is refused like too few files.
    if (task.files->empty()) return notEnough();
    PrepareTask(task, settings);

    // The plan "Chapters and Tags" shows for these rows, edits and all: the join writes it.
    const BookEdits noEdits;
    const BookEdits& edits = context.book ? *context.book : noEdits;
    BookPlan plan;
    std::string planError;
    if (!PlanFromEdits(rows, edits, settings, plan, planError)) {
        ShowBox(context.owner, QMessageBox::Warning, QString(), QString::fromStdString(planError));
        return JoinOutcome::PlanFailed;
    }
    if (task.tagRequest) {
        // The request is shared with every copy of the task: this join gets one of its own.
        auto request = std::make_shared<OutputTagRequest>(*task.tagRequest);
        request->plan = std::make_shared<const BookPlan>(plan);
        task.tagRequest = request;
    }
    const std::string outputName = OutputNameOf(plan, edits, settings);

    if (settings.askOutputPath != 0) {
        const QString chosenPath = AskOutputPath(context.owner, QString::fromStdString(outputName + OutputExtension(settings)));
        if (chosenPath.isEmpty()) return JoinOutcome::Cancelled;
        task.outputPath = chosenPath.toStdString();
    } else {
        task.outputPath = settings.outputFolder + outputName + OutputExtension(settings);
    }
    // Encoding into one of the inputs would destroy it while it is read. (From the settings an
    // existing name is replaced by a free one when the task starts; the check costs nothing.)
    if (settings.askOutputPath != 0 && OutputIsInput(task.outputPath, *task.files)) {
        ShowBox(context.owner, QMessageBox::Warning, QString(),
                QString::fromLatin1(kOutputIsInputText).arg(QString::fromStdString(task.outputPath)));
        return JoinOutcome::OutputIsInput;
    }

    // Parts of a maximum length: one task a part. The Save As dialog confirmed replacing the
    // name it showed, not the parts' names: an existing part takes the " (2)" rule instead.
    std::vector<CConversionTask> tasks{task};
    if (settings.maxPartMinutes > 0) tasks = SplitIntoParts(task, uint64_t(settings.maxPartMinutes) * 60000);
    for (CConversionTask& t : tasks)
        if (tasks.size() > 1 && settings.askOutputPath != 0 && std::filesystem::exists(std::filesystem::u8path(t.outputPath)))
            t.outputPath = UniqueOutputPath(t.outputPath);
    auto run = std::make_shared<JoinRunState>();
    SetRunTasks(*run, std::move(tasks));
    RunUnderProgressDialog(context, settings, run);
    return JoinOutcome::Ran;
}

}  // namespace velmora
