// Folder arguments of `join`: a folder stands for its audio files, found by the same walk as a
// folder load and `list` (natural name order, subfolders after the folder's own files).
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <QFile>
#include <QFileInfo>

#include "cli/cli_commands.h"
#include "filelist/file_scan.h"

namespace velmora::cli {

std::vector<std::string> FolderMp3Files(const std::string& folder, bool recursive) {
    std::vector<std::string> files;
    ScanFolder(QFile::decodeName(QByteArray::fromStdString(folder)), recursive, [&](const QFileInfo& file) {
        files.push_back(QFile::encodeName(file.absoluteFilePath()).toStdString());
    });
    return files;
}

bool ExpandFolderInputs(std::vector<std::string>& inputs, bool recursive, std::string& error) {
    std::vector<std::string> expanded;
    for (const std::string& input : inputs) {
        std::error_code ec;
        if (!std::filesystem::is_directory(input, ec)) {
            expanded.push_back(input);
            continue;
        }
        const std::vector<std::string> files = FolderMp3Files(input, recursive);
        // A folder that gives nothing is refused rather than passed over: a script must not
        // lose an input unnoticed.
        if (files.empty()) {
            error = input + (recursive ? ": no audio file in the folder or its subfolders"
                                       : ": no audio file in the folder (--recursive adds its subfolders)");
            return false;
        }
        expanded.insert(expanded.end(), files.begin(), files.end());
    }
    inputs = std::move(expanded);
    return true;
}

}  // namespace velmora::cli
