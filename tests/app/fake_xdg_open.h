// A stand-in for the desktop's xdg-open, first on PATH for the test's length: it notes each
// target it is asked to open and exits with the status given (0: a program took it; 3 or 4:
// no program could, as xdg-open reports it). Without a status, PATH holds no xdg-open at all.
#pragma once

#include <QFile>
#include <QString>
#include <QStringList>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <optional>

#include "support/mp3_fixtures.h"

namespace velmora::testing {

class FakeXdgOpen {
public:
    explicit FakeXdgOpen(std::optional<int> exitCode) : savedPath_(qgetenv("PATH")) {
        if (exitCode) {
            const std::filesystem::path script = dir_.path() / "xdg-open";
            std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << Log() << "'\nexit " << *exitCode << "\n";
            std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        }
        // The shell and printf stay reachable; no other xdg-open is.
        qputenv("PATH", QByteArray(dir_.path().c_str()) + ":/bin:/usr/bin");
        if (!exitCode) qputenv("PATH", QByteArray(dir_.path().c_str()));
    }
    ~FakeXdgOpen() { qputenv("PATH", savedPath_); }
    FakeXdgOpen(const FakeXdgOpen&) = delete;
    FakeXdgOpen& operator=(const FakeXdgOpen&) = delete;

    QStringList Opened() const {
        QFile f(QString::fromStdString(Log()));
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    bool WaitOpened(int count, int ms = 5000) const {
        return QTest::qWaitFor([&] { return Opened().size() >= count; }, ms);
    }

private:
    std::string Log() const { return (dir_.path() / "opened.log").string(); }

    TempDir dir_;
    QByteArray savedPath_;
};

}  // namespace velmora::testing
