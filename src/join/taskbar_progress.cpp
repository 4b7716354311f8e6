#include "join/taskbar_progress.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

#include <algorithm>

namespace velmora {

TaskbarProgress* taskbarProgress = nullptr;

namespace {

class UnityLauncherEntry : public TaskbarProgress {
public:
    UnityLauncherEntry(const QString& desktopId, const QDBusConnection& bus)
        : uri_(QStringLiteral("application://") + desktopId), bus_(bus) {}

    ~UnityLauncherEntry() override {
        // Leave no stale bar on the entry when the program goes.
        SetProgressState(NoProgress);
    }

    void SetProgressState(State state) override {
        state_ = state;
        QVariantMap props;
        props.insert(QStringLiteral("progress-visible"), state != NoProgress);
        props.insert(QStringLiteral("urgent"), state == Error);
        // The launcher entry has no "indeterminate" or "paused" look: indeterminate shows an
        // empty bar, paused keeps the value where it stopped.
        if (state == Indeterminate) props.insert(QStringLiteral("progress"), 0.0);
        Send(props);
    }

    void SetProgressValue(uint64_t completed, uint64_t total) override {
        const double value = total ? std::clamp(static_cast<double>(completed) / static_cast<double>(total), 0.0, 1.0) : 0.0;
        QVariantMap props;
        props.insert(QStringLiteral("progress"), value);
        props.insert(QStringLiteral("progress-visible"), state_ != NoProgress);
        Send(props);
    }

private:
    void Send(const QVariantMap& props) {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/com/canonical/unity/launcherentry/velmora"),
                                                         QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                         QStringLiteral("Update"));
        signal << uri_ << props;
        bus_.send(signal);
    }

    QString uri_;
    QDBusConnection bus_;
    State state_ = NoProgress;
};

}  // namespace

std::unique_ptr<TaskbarProgress> CreateTaskbarProgress(const QString& desktopId, const QDBusConnection& bus) {
    if (!bus.isConnected()) return nullptr;
    return std::make_unique<UnityLauncherEntry>(desktopId, bus);
}

}  // namespace velmora
