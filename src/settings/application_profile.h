// The per-user application profile: sections of named entries that hold either a 32-bit
// integer or a block of bytes. Window placement, list columns, sort keys and the splitter
// position live here, apart from "Config.ini".
//
// Stored as a QSettings INI file at
//   $XDG_CONFIG_HOME/Orvatek Corporation/Velmora/<application name>.conf
// where the application name is the executable's file name without its extension. Each
// section is a group; a section's unnamed entry (empty entry name) is stored as a top-level
// key named after the section, the way a registry key carries its default value.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class QSettings;

namespace velmora {

class ApplicationProfile {
public:
    // An empty application name means the running executable's name without extension.
    explicit ApplicationProfile(const QString& applicationName = {});
    // Opens the profile stored in `filePath` (tests and tools).
    static ApplicationProfile AtPath(const QString& filePath);
    ~ApplicationProfile();
    ApplicationProfile(ApplicationProfile&&) noexcept;
    ApplicationProfile& operator=(ApplicationProfile&&) noexcept;

    // The block stored under (section, entry), or nothing when the section or entry is
    // absent or holds no byte block. The returned block belongs to the caller.
    std::optional<QByteArray> GetProfileBinary(const QString& section, const QString& entry) const;
    bool WriteProfileBinary(const QString& section, const QString& entry, const QByteArray& block);
    bool WriteProfileBinary(const QString& section, const QString& entry, const void* data, int length);

    // The integer stored under (section, entry), or `defaultValue` when it is absent or not
    // an integer.
    int GetProfileInt(const QString& section, const QString& entry, int defaultValue) const;
    bool WriteProfileInt(const QString& section, const QString& entry, int value);

    // Writes pending changes to disk; true when the file is written (or nothing was pending).
    bool Sync();

    QString filePath() const;

    // The folder that holds the profiles of all Velmora programs, and the name used when
    // none is given.
    static QString ProfileFolder();
    static QString DefaultApplicationName();

private:
    struct FromPath {};
    ApplicationProfile(FromPath, const QString& filePath);
    QString KeyFor(const QString& section, const QString& entry) const;

    std::unique_ptr<QSettings> settings_;
};

// Section and entry names used by the system.
namespace profile {
inline constexpr const char* kFileListSection = "FileList";
inline constexpr const char* kColumnEntry = "Column";
inline constexpr const char* kSortExEntry = "SortEx";
inline constexpr const char* kShowLeftTreeEntry = "ShowLeftTree";
inline constexpr const char* kPositionSection = "Position";
inline constexpr const char* kMainWindowPlacementEntry = "{BCE5C5B7-46CB-4890-9EB9-507AC16A7FB6}";
inline constexpr const char* kVertSplitPosEntry = "VertSplitPos";
// The splitter's section is "splt\init_v" followed by the splitter's id.
QString SplitterSection(int splitterId);
}  // namespace profile

}  // namespace velmora
