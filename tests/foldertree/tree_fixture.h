// Shared pieces of the folder-tree tests: a temporary HOME with desktop and music folders,
// a fake mount table, and helpers that build folders on disk.
#pragma once

#include "foldertree/drive_enumerator.h"
#include "foldertree/file_tree_ctrl.h"
#include "foldertree/share_enumerator.h"

#include <QMessageBox>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QString>
#include <QStringList>

#include <memory>

namespace velmora::testing {

// Created once per test binary by main(): sets HOME and the XDG folders.
class TestHome {
public:
    TestHome();
    ~TestHome();
    static QString Base();      // the temporary folder holding everything
    static QString Home();      // $HOME
    static QString Desktop();   // $HOME/Desktop
    static QString Music();     // $HOME/Music
    static QString Outside();   // a folder outside $HOME
    static QString Shares();    // where the fake user shares live
    // Empties HOME (but its config), the outside folder and the shares; recreates the
    // desktop and music folders.
    static void Reset();
};

// Makes a folder with all its parents; returns its path.
QString MakeDir(const QString& path);
// Makes an empty file (and its folder).
QString MakeFile(const QString& path);
void RemoveTree(const QString& path);

// A mount table of the test's own: "/" plus whatever the test adds.
class FakeDrives : public CDriveEnumerator {
public:
    FakeDrives();
    void Add(const QString& root, const QString& fsType, const QString& device = QString(),
             const QString& label = QString());
    QSet<QString> noMedia;

    bool HasMedia(const QString& rootPath) const override { return !noMedia.contains(rootPath); }

protected:
    QList<VolumeInfo> ReadVolumes() const override { return table_; }

private:
    QList<VolumeInfo> table_;
};

// A tree over the fake drives and the test's share folder, with operations that record
// instead of reaching the desktop.
class TestTree : public CFileTreeCtrl {
public:
    TestTree(FakeDrives* drives, CShareEnumerator* shares) : CFileTreeCtrl(nullptr, drives, shares) {}
    bool OpenItem(HTREEITEM item) override {
        opened.push_back(ItemToPath(item));
        return item != nullptr;
    }
    bool ShowItemProperties(HTREEITEM item) override {
        properties.push_back(ItemToPath(item));
        return item != nullptr;
    }
    QStringList opened, properties;
};

// Answers modal message boxes with a real click on the chosen button: a timer looks for the
// active modal box and clicks. It only polls, so a box that never comes blocks nothing.
class BoxAnswerer : public QObject {
public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer);
    ~BoxAnswerer() override;
    // Waits (processing events) until a box was answered; false after `ms` without one.
    bool WaitAnswered(int ms = 5000);
    QStringList texts;      // the texts of the boxes answered, in order
    QStringList titles;

private:
    void Poll();
    QMessageBox::StandardButton answer_;
    QTimer timer_;
};

// Labels (item texts) of the children of an item.
QStringList ChildLabels(QTreeWidgetItem* item);
QStringList ChildNames(CFileTreeCtrl& tree, QTreeWidgetItem* item);
// The chain of item kinds from the item up to the top.
QList<TreeItemKind> KindChain(CFileTreeCtrl& tree, QTreeWidgetItem* item);

}  // namespace velmora::testing
