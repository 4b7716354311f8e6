// velmora-screens OUTPUT_FOLDER [NAME...]: renders the registered windows to PNG files.
#include "screens_registry.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    // Offscreen unless told otherwise; the windows never reach a screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Windows keep their placement in the user's profile: give them a throwaway one.
    QTemporaryDir config;
    if (config.isValid()) qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    auto& screens = velmora::screens::Registry();
    std::sort(screens.begin(), screens.end(),
              [](const auto& a, const auto& b) { return QString::fromLatin1(a.name) < QString::fromLatin1(b.name); });

    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.first() == QStringLiteral("--help")) {
        std::fprintf(stderr, "usage: velmora-screens OUTPUT_FOLDER [NAME...]\n       velmora-screens --list\n");
        return args.isEmpty() ? 2 : 0;
    }
    if (args.first() == QStringLiteral("--list")) {
        for (const auto& s : screens) std::printf("%s\n", s.name);
        return 0;
    }
    QDir out(args.first());
    if (!out.exists() && !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
        return 1;
    }
    const QStringList wanted = args.mid(1);
    int failures = 0, written = 0;
    for (const auto& s : screens) {
        const QString name = QString::fromLatin1(s.name);
        if (!wanted.isEmpty() && !wanted.contains(name)) continue;
        std::unique_ptr<QWidget> w = s.render();
        if (!w) {
            std::fprintf(stderr, "%s: nothing to render\n", s.name);
            ++failures;
            continue;
        }
        if (!w->isVisible()) w->show();
        velmora::screens::Settle(100);
        const QString file = out.filePath(name + QStringLiteral(".png"));
        if (!w->grab().save(file)) {
            std::fprintf(stderr, "%s: cannot write %s\n", s.name, qPrintable(file));
            ++failures;
        } else {
            std::printf("%s\n", qPrintable(file));
            ++written;
        }
        w.reset();
        velmora::screens::Settle(10);
    }
    if (written == 0 && failures == 0) {
        std::fprintf(stderr, "no screen matched\n");
        return 1;
    }
    return failures ? 1 : 0;
}
