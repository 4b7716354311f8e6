// Points HOME and XDG_CONFIG_HOME (and the XDG user folders) at a temporary folder for the
// lifetime of the object, so settings tests never touch the real account.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmora::testing {

class ScopedEnv {
public:
    void Set(const std::string& name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A fresh account below `root`: HOME is root/home, XDG_CONFIG_HOME is root/home/.config
// (not created: the code under test creates what it needs).
inline void UseFreshAccount(ScopedEnv& env, const std::filesystem::path& root) {
    std::filesystem::create_directories(root / "home");
    env.Set("HOME", (root / "home").string());
    env.Set("XDG_CONFIG_HOME", (root / "home" / ".config").string());
    env.Set("XDG_MUSIC_DIR", std::nullopt);
    env.Set("XDG_DESKTOP_DIR", std::nullopt);
}

}  // namespace velmora::testing
