#include "cli/cli_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace velmora::testing {

std::filesystem::path CliExecutable() {
    const char* dir = std::getenv("VELMORA_BIN_DIR");
    return std::filesystem::path(dir ? dir : ".") / "velmora-cli";
}

std::string ReadWholeFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

CliResult RunCliProcess(const CliRun& run) {
    CliResult result;
    char outTemplate[] = "/tmp/velmora-cli-out-XXXXXX";
    char errTemplate[] = "/tmp/velmora-cli-err-XXXXXX";
    const int outFd = ::mkstemp(outTemplate);
    const int errFd = ::mkstemp(errTemplate);
    if (outFd < 0 || errFd < 0)
        return result;

    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string kv = *e;
        const size_t eq = kv.find('=');
        if (eq != std::string::npos)
            env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const char* drop : {"XDG_MUSIC_DIR", "XDG_DESKTOP_DIR", "XDG_CONFIG_DIRS"})
        env.erase(drop);
    env["HOME"] = run.home.string();
    env["XDG_CONFIG_HOME"] = (run.home / ".config").string();
    for (const auto& [k, v] : run.extraEnv)
        env[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : env)
        envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    const std::string exe = run.executable.empty() ? CliExecutable().string() : run.executable.string();
    std::vector<std::string> argStrings{exe};
    argStrings.insert(argStrings.end(), run.args.begin(), run.args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (run.cwd)
        posix_spawn_file_actions_addchdir_np(&actions, run.cwd->c_str());
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(outFd);
    ::close(errFd);
    if (spawned != 0) {
        result.err = std::string("spawn failed: ") + std::strerror(spawned);
        ::unlink(outTemplate);
        ::unlink(errTemplate);
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(run.timeoutSeconds);
    bool hookDone = !run.whileRunning;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        if (!hookDone)
            hookDone = run.whileRunning(pid, ReadWholeFile(errTemplate));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    result.out = ReadWholeFile(outTemplate);
    result.err = ReadWholeFile(errTemplate);
    ::unlink(outTemplate);
    ::unlink(errTemplate);
    return result;
}

}  // namespace velmora::testing
