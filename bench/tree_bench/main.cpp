// Times the folder tree on folders made for the purpose:
//  - expanding a folder with 2000 subfolders (each holding a few files): goal < 0.5 s;
//  - selecting a path 12 levels deep in a freshly filled tree: goal < 0.2 s.
#include "foldertree/file_tree_ctrl.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using velmora::CFileTreeCtrl;

namespace {

void Touch(const QString& path) {
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write("x");
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir base(QDir::tempPath() + QStringLiteral("/velmora-tree-bench-XXXXXX"));
    if (!base.isValid()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }

    // 2000 subfolders, each with three files; every tenth has a subfolder of its own.
    const QString wide = base.path() + QStringLiteral("/wide");
    QDir().mkpath(wide);
    for (int i = 0; i < 2000; ++i) {
        const QString d = wide + QStringLiteral("/Folder %1").arg(i, 4, 10, QLatin1Char('0'));
        QDir().mkpath(i % 10 == 0 ? d + QStringLiteral("/inner") : d);
        for (int f = 0; f < 3; ++f) Touch(d + QStringLiteral("/track%1.mp3").arg(f));
    }
    // 12 levels, each beside 20 sibling folders.
    QString deep = base.path() + QStringLiteral("/deep");
    for (int level = 1; level <= 12; ++level) {
        for (int s = 0; s < 20; ++s) QDir().mkpath(deep + QStringLiteral("/sibling%1").arg(s));
        deep += QStringLiteral("/level%1").arg(level);
    }
    QDir().mkpath(deep);

    std::vector<double> expandMs, selectMs;
    int wideChildren = 0;
    for (int run = 0; run < 5; ++run) {
        CFileTreeCtrl tree;
        tree.SetShowFiles(false);
        tree.AttachSystemImageList();
        QTreeWidgetItem* item = tree.SetSelectedPath(wide, false);
        if (!item) {
            std::fprintf(stderr, "cannot select %s\n", qPrintable(wide));
            return 1;
        }
        QElapsedTimer t;
        t.start();
        tree.ExpandItem(item);
        expandMs.push_back(t.nsecsElapsed() / 1e6);
        wideChildren = item->childCount();
    }
    for (int run = 0; run < 5; ++run) {
        CFileTreeCtrl tree;
        tree.SetShowFiles(false);
        tree.AttachSystemImageList();
        QElapsedTimer t;
        t.start();
        QTreeWidgetItem* item = tree.SetSelectedPath(deep, false);
        selectMs.push_back(t.nsecsElapsed() / 1e6);
        if (!item) {
            std::fprintf(stderr, "cannot select %s\n", qPrintable(deep));
            return 1;
        }
    }

    const double e = Median(expandMs), s = Median(selectMs);
    std::printf("expand folder with %d subfolders: median %.1f ms (min %.1f, max %.1f)  goal < 500 ms: %s\n",
                wideChildren, e, *std::min_element(expandMs.begin(), expandMs.end()),
                *std::max_element(expandMs.begin(), expandMs.end()), e < 500 ? "met" : "MISSED");
    std::printf("SetSelectedPath 12 levels deep:    median %.1f ms (min %.1f, max %.1f)  goal < 200 ms: %s\n", s,
                *std::min_element(selectMs.begin(), selectMs.end()), *std::max_element(selectMs.begin(), selectMs.end()),
                s < 200 ? "met" : "MISSED");
    return e < 500 && s < 200 ? 0 : 1;
}
