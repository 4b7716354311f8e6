#include "settings/application_profile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <filesystem>
#include <system_error>

namespace velmora {

QString ApplicationProfile::ProfileFolder() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QDir(config).filePath(QStringLiteral("Orvatek Corporation/Velmora"));
}

QString ApplicationProfile::DefaultApplicationName() {
    if (QCoreApplication::instance())
        return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    // No application object (a tool, a test): ask the kernel which executable runs.
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && !exe.empty())
        return QFileInfo(QString::fromStdString(exe.filename().string())).completeBaseName();
    return QStringLiteral("Velmora");
}

ApplicationProfile::ApplicationProfile(const QString& applicationName)
    : ApplicationProfile(FromPath{},
                         QDir(ProfileFolder())
                             .filePath((applicationName.isEmpty() ? DefaultApplicationName() : applicationName) +
                                       QStringLiteral(".conf"))) {}

ApplicationProfile::ApplicationProfile(FromPath, const QString& filePath)
    : settings_(std::make_unique<QSettings>(filePath, QSettings::IniFormat)) {}

ApplicationProfile ApplicationProfile::AtPath(const QString& filePath) { return ApplicationProfile(FromPath{}, filePath); }

ApplicationProfile::~ApplicationProfile() {
    if (settings_)
        settings_->sync();
}

ApplicationProfile::ApplicationProfile(ApplicationProfile&&) noexcept = default;
ApplicationProfile& ApplicationProfile::operator=(ApplicationProfile&&) noexcept = default;

QString ApplicationProfile::filePath() const { return settings_->fileName(); }

// QSettings separates groups with "/"; a backslash inside a section name ("splt\init_v103")
// is kept as part of the name, so sections never nest by accident of their names.
QString ApplicationProfile::KeyFor(const QString& section, const QString& entry) const {
    if (entry.isEmpty())
        return section;
    return section + QLatin1Char('/') + entry;
}

std::optional<QByteArray> ApplicationProfile::GetProfileBinary(const QString& section, const QString& entry) const {
    const QVariant v = settings_->value(KeyFor(section, entry));
    // Only a stored byte block counts: a hand-edited text or number is not a record of the
    // layout the caller expects.
    if (!v.isValid() || v.typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return v.toByteArray();
}

bool ApplicationProfile::WriteProfileBinary(const QString& section, const QString& entry, const QByteArray& block) {
    settings_->setValue(KeyFor(section, entry), block);
    return settings_->status() == QSettings::NoError;
}

bool ApplicationProfile::WriteProfileBinary(const QString& section, const QString& entry, const void* data,
                                            int length) {
    if (length < 0 || (length > 0 && data == nullptr))
        return false;
    return WriteProfileBinary(section, entry, QByteArray(static_cast<const char*>(data), length));
}

int ApplicationProfile::GetProfileInt(const QString& section, const QString& entry, int defaultValue) const {
    const QVariant v = settings_->value(KeyFor(section, entry));
    if (!v.isValid() || v.typeId() == QMetaType::QByteArray)
        return defaultValue;
    bool ok = false;
    const int value = v.toInt(&ok);
    return ok ? value : defaultValue;
}

bool ApplicationProfile::WriteProfileInt(const QString& section, const QString& entry, int value) {
    settings_->setValue(KeyFor(section, entry), value);
    return settings_->status() == QSettings::NoError;
}

bool ApplicationProfile::Sync() {
    settings_->sync();
    return settings_->status() == QSettings::NoError;
}

namespace profile {
QString SplitterSection(int splitterId) { return QStringLiteral("splt\\init_v%1").arg(splitterId); }
}  // namespace profile

}  // namespace velmora
