// CMyDropTarget: files and folders dropped from a file manager onto the main window. Drops
// count only over the file list; drags that started in our own list are refused everywhere;
// paths the list already holds are left out, and the rest go to the owner in one posted
// UM_FILES_DROPPED event, in drop order (also when none remain).
#pragma once

#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QStringList>

class QDragMoveEvent;
class QDropEvent;
class QMimeData;
class QWidget;

namespace velmora {

class CReportCtrl;

// Posted to the owner; the event carries the paths and goes with them once handled.
inline constexpr QEvent::Type UM_FILES_DROPPED = static_cast<QEvent::Type>(1126);

class FilesDroppedEvent : public QEvent {
public:
    explicit FilesDroppedEvent(QStringList dropped) : QEvent(UM_FILES_DROPPED), paths(std::move(dropped)) {}
    QStringList paths;  // full paths, in drop order; possibly empty
};

class CMyDropTarget : public QObject {
    Q_OBJECT
public:
    explicit CMyDropTarget(CReportCtrl* fileList, QObject* parent = nullptr);
    ~CMyDropTarget() override;

    // Makes `window` accept drops and watches its drag events. The owner and the enabled
    // flag are set by the caller right after.
    bool Register(QWidget* window);

    QPointer<QObject> owner;  // receives UM_FILES_DROPPED
    int enabled = 0;          // 1: drops are turned into UM_FILES_DROPPED

    // The four events; each returns the drop action it settled on (IgnoreAction: refused).
    Qt::DropAction OnDragEnter(const QMimeData* data, const QPoint& windowPos);
    Qt::DropAction OnDragOver(const QMimeData* data, const QPoint& windowPos);
    void OnDragLeave();
    // True when the data carried a list of files (whether or not anything was posted).
    bool OnDrop(const QMimeData* data);

    // The local paths a drag offers, in drop order; empty when it offers none.
    static QStringList DroppedPaths(const QMimeData* data);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool OverFileList(const QPoint& windowPos) const;

    QPointer<CReportCtrl> fileList_;
    QPointer<QWidget> window_;
};

// Builds the window's drop target over its file list, registers it on the window and turns
// it on, with the window as the owner of the posted paths. The window keeps it as a child.
CMyDropTarget* InstallDropTarget(QWidget* window, CReportCtrl* fileList);

}  // namespace velmora
