#include "tree_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

namespace velmora::testing {

namespace {
QTemporaryDir* g_base = nullptr;

void SetEnv(const char* name, const QString& value) { setenv(name, QFile::encodeName(value).constData(), 1); }
}  // namespace

TestHome::TestHome() {
    g_base = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/velmora-tree-XXXXXX"));
    SetEnv("HOME", Home());
    SetEnv("XDG_CONFIG_HOME", Home() + QStringLiteral("/.config"));
    SetEnv("XDG_DATA_HOME", Home() + QStringLiteral("/.local/share"));
    SetEnv("XDG_CACHE_HOME", Home() + QStringLiteral("/.cache"));
    SetEnv("XDG_RUNTIME_DIR", Base() + QStringLiteral("/runtime"));
    QDir().mkpath(Base() + QStringLiteral("/runtime"));
    QFile::setPermissions(Base() + QStringLiteral("/runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    MakeDir(Home() + QStringLiteral("/.config"));
    QFile dirs(Home() + QStringLiteral("/.config/user-dirs.dirs"));
    if (dirs.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        dirs.write("XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_MUSIC_DIR=\"$HOME/Music\"\n");
        dirs.close();
    }
    Reset();
}

TestHome::~TestHome() {
    delete g_base;  // removes everything the tests made
    g_base = nullptr;
}

QString TestHome::Base() { return g_base->path(); }
QString TestHome::Home() { return Base() + QStringLiteral("/home"); }
QString TestHome::Desktop() { return Home() + QStringLiteral("/Desktop"); }
QString TestHome::Music() { return Home() + QStringLiteral("/Music"); }
QString TestHome::Outside() { return Base() + QStringLiteral("/outside"); }
QString TestHome::Shares() { return Base() + QStringLiteral("/usershares"); }

void TestHome::Reset() {
    QDir home(Home());
    if (home.exists())
        for (const QString& e : home.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
            if (e != QLatin1String(".config")) RemoveTree(home.filePath(e));
    RemoveTree(Outside());
    RemoveTree(Shares());
    MakeDir(Desktop());
    MakeDir(Music());
    MakeDir(Outside());
    MakeDir(Shares());
}

QString MakeDir(const QString& path) {
    QDir().mkpath(path);
    return path;
}

QString MakeFile(const QString& path) {
    MakeDir(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write("x");
    return path;
}

void RemoveTree(const QString& path) {
    QFileInfo fi(path);
    if (fi.isSymLink() || fi.isFile()) {
        QFile::remove(path);
        return;
    }
    if (fi.isDir()) QDir(path).removeRecursively();
}

FakeDrives::FakeDrives() { table_.push_back({QStringLiteral("/"), QStringLiteral("/dev/vda"), QStringLiteral("ext4"), {}}); }

void FakeDrives::Add(const QString& root, const QString& fsType, const QString& device, const QString& label) {
    table_.push_back({root, device, fsType, label});
    Refresh();
}

BoxAnswerer::BoxAnswerer(QMessageBox::StandardButton answer) : answer_(answer) {
    timer_.setInterval(20);
    connect(&timer_, &QTimer::timeout, this, &BoxAnswerer::Poll);
    timer_.start();
}

BoxAnswerer::~BoxAnswerer() { timer_.stop(); }

void BoxAnswerer::Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    QAbstractButton* button = box->button(answer_);
    if (!button) button = box->defaultButton();
    if (!button) return;
    texts << box->text();
    titles << box->windowTitle();
    QTest::mouseClick(button, Qt::LeftButton);
}

bool BoxAnswerer::WaitAnswered(int ms) {
    return QTest::qWaitFor([this] { return !texts.isEmpty(); }, ms);
}

QStringList ChildLabels(QTreeWidgetItem* item) {
    QStringList out;
    if (!item) return out;
    for (int i = 0; i < item->childCount(); ++i) out << item->child(i)->text(0);
    return out;
}

QStringList ChildNames(CFileTreeCtrl& tree, QTreeWidgetItem* item) {
    QStringList out;
    if (!item) return out;
    for (int i = 0; i < item->childCount(); ++i) {
        const CFileTreeCtrlItemInfo* info = tree.ItemInfo(item->child(i));
        out << (info ? info->name : QString());
    }
    return out;
}

QList<TreeItemKind> KindChain(CFileTreeCtrl& tree, QTreeWidgetItem* item) {
    QList<TreeItemKind> out;
    for (; item; item = item->parent())
        if (const CFileTreeCtrlItemInfo* info = tree.ItemInfo(item)) out << info->type;
    return out;
}

}  // namespace velmora::testing
