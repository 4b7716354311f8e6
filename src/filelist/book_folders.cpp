#include "filelist/book_folders.h"

#include "engine/book_parts.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>

#include "engine/book_plan.h"
#include "engine/join_sink.h"
#include "filelist/file_scan.h"
#include "filelist/join_inputs.h"
#include "filelist/natural_compare.h"

namespace velmora {

namespace {

namespace fs = std::filesystem;

QString Q(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

std::vector<std::string> AudioBeneath(const std::string& folder, bool subfolders, const QStringList& extensions,
                                      const std::atomic<int>* keepGoing) {
    std::vector<std::string> files;
    ScanFolder(
        Q(folder), subfolders,
        [&](const QFileInfo& file) { files.push_back(QFile::encodeName(file.absoluteFilePath()).toStdString()); },
        keepGoing, {}, extensions);
    return files;
}

// The immediate subfolders' names in natural order. Links to folders are left out, as the
// recursive load leaves them out, so that one book cannot turn up twice under two names.
std::vector<std::string> SubfolderNames(const std::string& library) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(library, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        if (it->is_symlink(kind) || !it->is_directory(kind)) continue;
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return NaturalCompare(a, b) < 0; });
    return names;
}

std::string WithoutSlash(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

}  // namespace

BookLibrary FindBookFolders(const std::vector<std::string>& libraries, const QStringList& extensions,
                            const std::atomic<int>* keepGoing) {
    BookLibrary library;
    for (const std::string& given : libraries) {
        std::error_code ec;
        const fs::path absolute = fs::absolute(fs::path(given), ec);
        const std::string root = WithoutSlash((ec ? fs::path(given) : absolute).lexically_normal().string());
        const size_t loose = AudioBeneath(root, false, extensions, keepGoing).size();
        if (loose > 0)
            library.notes.push_back(
                loose == 1 ? FormatText("1 audio file directly in %s is left out: only its subfolders are books.",
                                        root.c_str())
                           : FormatText("%zu audio files directly in %s are left out: only its subfolders are books.",
                                        loose, root.c_str()));
        for (const std::string& name : SubfolderNames(root)) {
            if (keepGoing && keepGoing->load(std::memory_order_acquire) == 0) return library;
            BookFolder book{root == "/" ? "/" + name : root + "/" + name, name, {}};
            book.files = AudioBeneath(book.folder, true, extensions, keepGoing);
            if (book.files.empty())
                library.notes.push_back(FormatText("No audio files in %s: skipped.", book.folder.c_str()));
            else
                library.books.push_back(std::move(book));
        }
    }
    return library;
}

std::vector<CConversionTask> PlanBookTasks(const std::vector<BookFolder>& books, const AppSettings& settings,
                                           const std::string& outputFolder, bool nameFromTitle,
                                           const std::atomic<int>* keepGoing, uint64_t maxPartMs) {
    std::vector<CConversionTask> tasks;
    // A chapters file names times of one output; a series has no such file.
    const int32_t chapters = settings.chapterMode == kChaptersFromFile ? kChaptersPerFile : settings.chapterMode;
    for (size_t i = 0; i < books.size(); ++i) {
        const BookFolder& book = books[i];
        CConversionTask task;
        task.outputKind = OutputKindOf(settings);
        task.bookNumber = static_cast<int32_t>(i + 1);
        task.bookCount = static_cast<int32_t>(books.size());
        task.bookName = book.name;
        // The plain name; the job takes the next free " (2)" name when the task starts, so
        // that books of the same name in one series do not overwrite each other either.
        task.outputPath = outputFolder + book.name + OutputExtension(settings);
        std::vector<InputTrouble> troubles;
        if (!ReadJoinInputs(book.files, JoinWantsTags(settings), *task.files, troubles, keepGoing)) break;
        if (!troubles.empty()) {
            // Nothing of the book is written: one lost input would make it a different book.
            const fs::path where = fs::path(troubles.front().path).lexically_relative(book.folder);
            task.bookError = where.string() + ": " + troubles.front().message;
            if (troubles.size() > 1) task.bookError += FormatText(" (and %zu more unreadable)", troubles.size() - 1);
            task.files = std::make_shared<FileList>();
            tasks.push_back(std::move(task));
            continue;
        }
        PrepareTask(task, settings);
        auto plan = std::make_shared<BookPlan>();
        if (std::string error; !PlanBook(*task.files, task.outputPath, chapters, std::string(), *plan, error)) {
            task.bookError = error;
            task.files = std::make_shared<FileList>();
            task.totalSamples = 0;
            tasks.push_back(std::move(task));
            continue;
        }
        if (nameFromTitle) {
            if (const std::string named = FileNameFromTitle(plan->tags.title); !named.empty())
                task.outputPath = outputFolder + named + OutputExtension(settings);
        }
        if (task.tagRequest) {
            auto request = std::make_shared<OutputTagRequest>(*task.tagRequest);
            request->plan = plan;
            task.tagRequest = request;
        }
        if (maxPartMs > 0) {
            for (CConversionTask& part : SplitIntoParts(task, maxPartMs)) tasks.push_back(std::move(part));
            continue;
        }
        tasks.push_back(std::move(task));
    }
    return tasks;
}

}  // namespace velmora
