// Runs the built velmora-cli as a child process with a private HOME and XDG_CONFIG_HOME.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace velmora::testing {

struct CliResult {
    int status = -1;       // exit status, or 128 + signal
    std::string out;       // stdout
    std::string err;       // stderr
    bool timedOut = false;
};

struct CliRun {
    CliRun(std::vector<std::string> a, std::filesystem::path h, std::optional<std::filesystem::path> c = std::nullopt)
        : args(std::move(a)), home(std::move(h)), cwd(std::move(c)) {}

    std::vector<std::string> args;
    std::filesystem::path home;                    // HOME; XDG_CONFIG_HOME is home/.config
    std::optional<std::filesystem::path> cwd;
    std::filesystem::path executable;              // default: $VELMORA_BIN_DIR/velmora-cli
    std::map<std::string, std::string> extraEnv;
    // Called repeatedly (every 10 ms) while the child runs, with its pid and the stderr text
    // so far; return true once it has done what it wanted.
    std::function<bool(pid_t, const std::string&)> whileRunning;
    int timeoutSeconds = 60;
};

CliResult RunCliProcess(const CliRun& run);

std::filesystem::path CliExecutable();
std::string ReadWholeFile(const std::filesystem::path& p);

}  // namespace velmora::testing
