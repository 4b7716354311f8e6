// The progress mirror on the program's taskbar (launcher) entry. On Linux desktops this is the
// com.canonical.Unity.LauncherEntry D-Bus signal (understood by the Plasma task manager, Dock
// extensions, Plank, …); without a session bus there is no mirror and the pointer stays null.
#pragma once

#include <QDBusConnection>
#include <QString>

#include <cstdint>
#include <memory>

namespace velmora {

class TaskbarProgress {
public:
    enum State { NoProgress, Indeterminate, Normal, Error, Paused };

    virtual ~TaskbarProgress() = default;
    virtual void SetProgressState(State state) = 0;
    virtual void SetProgressValue(uint64_t completed, uint64_t total) = 0;
};

// The process-wide mirror, used on the UI thread only; null when the desktop offers none.
// The main window sets it at start-up; every caller skips its step while it is null.
extern TaskbarProgress* taskbarProgress;

// The D-Bus realisation for the desktop entry `desktopId` (for example "velmora.desktop") on
// `bus`, or null when that bus is not reachable.
std::unique_ptr<TaskbarProgress> CreateTaskbarProgress(const QString& desktopId,
                                                       const QDBusConnection& bus = QDBusConnection::sessionBus());

}  // namespace velmora
