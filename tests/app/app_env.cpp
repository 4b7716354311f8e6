#include "app_env.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace velmora::testing {

namespace {
const char* const kVars[] = {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_MUSIC_DIR",
                             "XDG_DESKTOP_DIR"};
}

AppEnv::AppEnv() {
    for (const char* v : kVars) saved_[v] = qgetenv(v);
    std::filesystem::create_directories(home() / "Music");
    std::filesystem::create_directories(config());
    std::filesystem::create_directories(runtime());
    std::filesystem::permissions(runtime(), std::filesystem::perms::owner_all);
    qputenv("HOME", QByteArray::fromStdString(home().string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config().string()));
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime().string()));
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString((home() / ".local/share").string()));
    qunsetenv("XDG_MUSIC_DIR");
    qunsetenv("XDG_DESKTOP_DIR");
}

AppEnv::~AppEnv() {
    for (const auto& [name, value] : saved_) {
        if (value.isNull()) {
            qunsetenv(name.constData());
        } else {
            qputenv(name.constData(), value);
        }
    }
}

QString AppEnv::SettingsFile() const { return QString::fromStdString((config() / "Velmora" / "Config.ini").string()); }

QString AppEnv::ProfileFile() const {
    const QString app = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    return QString::fromStdString((config() / "Orvatek Corporation" / "Velmora").string()) + QLatin1Char('/') + app +
           QStringLiteral(".conf");
}

}  // namespace velmora::testing
