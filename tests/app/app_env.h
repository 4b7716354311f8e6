// A private user account for a test: HOME, XDG_CONFIG_HOME and XDG_RUNTIME_DIR point into a
// fresh temporary folder, restored afterwards. The settings file and the profile of the main
// window then live there.
#pragma once

#include <QByteArray>
#include <QString>

#include <filesystem>
#include <map>
#include <memory>

#include "support/mp3_fixtures.h"

namespace velmora::testing {

// A path as the Qt layers take it.
inline QString Q(const std::filesystem::path& p) { return QString::fromStdString(p.string()); }

class AppEnv {
public:
    AppEnv();
    ~AppEnv();
    const std::filesystem::path& root() const { return dir_.path(); }
    std::filesystem::path home() const { return dir_.path() / "home"; }
    std::filesystem::path config() const { return dir_.path() / "config"; }
    std::filesystem::path runtime() const { return dir_.path() / "run"; }
    // Config.ini of the settings store and the profile file of this test program.
    QString SettingsFile() const;
    QString ProfileFile() const;

private:
    TempDir dir_;
    std::map<QByteArray, QByteArray> saved_;
};

}  // namespace velmora::testing
