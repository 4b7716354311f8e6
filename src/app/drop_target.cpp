#include "app/drop_target.h"

#include "app/zeph_app.h"
#include "controls/report_ctrl.h"
#include "filelist/file_list_columns.h"
#include "filelist/list_locked.h"

#include <QSet>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

namespace velmora {

namespace {

bool HasOwnFormat(const QMimeData* data) {
    return data && data->hasFormat(QString::fromLatin1(ownDragFormat));
}

bool HasFileList(const QMimeData* data) { return !CMyDropTarget::DroppedPaths(data).isEmpty(); }

}  // namespace

// The desktop has no drag-image helper of the shell's kind: the drag source draws its own
// image, so there is nothing to tell about enter, over, leave and drop here.
CMyDropTarget::CMyDropTarget(CReportCtrl* fileList, QObject* parent) : QObject(parent), fileList_(fileList) {}

CMyDropTarget::~CMyDropTarget() {
    if (window_) window_->removeEventFilter(this);
}

bool CMyDropTarget::Register(QWidget* window) {
    if (!window) return false;
    if (window_) window_->removeEventFilter(this);
    window_ = window;
    window->setAcceptDrops(true);
    window->installEventFilter(this);
    return true;
}

QStringList CMyDropTarget::DroppedPaths(const QMimeData* data) {
    QStringList paths;
    if (!data || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls()) {
        // Only items with a local path count, as a file manager's drop block holds paths;
        // an item whose path cannot be read is skipped.
        if (!url.isLocalFile()) continue;
        QString path = url.toLocalFile();
        if (path.isEmpty()) continue;
        // A folder comes as "/a/b/" from some file managers; the list and the loader use
        // "/a/b".
        while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
        paths.push_back(path);
    }
    return paths;
}

bool CMyDropTarget::OverFileList(const QPoint& windowPos) const {
    if (!fileList_ || !window_ || !fileList_->isVisible()) return false;
    const QPoint global = window_->mapToGlobal(windowPos);
    const QRect listRect(fileList_->mapToGlobal(QPoint(0, 0)), fileList_->size());
    return listRect.contains(global);
}

Qt::DropAction CMyDropTarget::OnDragEnter(const QMimeData* data, const QPoint&) {
    if (HasOwnFormat(data) || !HasFileList(data)) return Qt::IgnoreAction;
    return Qt::CopyAction;
}

Qt::DropAction CMyDropTarget::OnDragOver(const QMimeData* data, const QPoint& windowPos) {
    // While the list sorts or a load is being stopped, drops are refused.
    if (HasOwnFormat(data) || IsListLocked()) return Qt::IgnoreAction;
    return HasFileList(data) && OverFileList(windowPos) ? Qt::CopyAction : Qt::IgnoreAction;
}

void CMyDropTarget::OnDragLeave() {}

bool CMyDropTarget::OnDrop(const QMimeData* data) {
    if (!data || !data->hasUrls()) return false;
    const QStringList dropped = DroppedPaths(data);
    if (dropped.isEmpty()) return false;
    if (enabled) {
        // Paths compare as the file system compares them: exactly. "A.mp3" and "a.mp3" are two
        // files here, and a dropped one must not be taken for the other.
        QSet<QString> listed;
        if (fileList_) {
            for (int row = 0; row < fileList_->GetItemCount(); ++row)
                listed.insert(FullPathOf(fileList_->GetItemText(row, kColPath), fileList_->GetItemText(row, kColName)));
        }
        QStringList remaining;
        for (const QString& path : dropped)
            if (!listed.contains(path)) remaining.push_back(path);
        // Posted, so the file manager gets its drop answered before the load starts. Sent
        // also when empty.
        if (owner) QCoreApplication::postEvent(owner, new FilesDroppedEvent(remaining));
    }
    return true;
}

bool CMyDropTarget::eventFilter(QObject* watched, QEvent* event) {
    if (watched != window_) return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::DragEnter: {
        auto* e = static_cast<QDragEnterEvent*>(event);
        const Qt::DropAction action = OnDragEnter(e->mimeData(), e->position().toPoint());
        // A refused enter gets no moves after it: the drag is refused all over the window.
        // An accepted one is followed at once by a move at the same spot, which decides by
        // position.
        e->setDropAction(action);
        e->setAccepted(action != Qt::IgnoreAction);
        return true;
    }
    case QEvent::DragMove: {
        auto* e = static_cast<QDragMoveEvent*>(event);
        const Qt::DropAction action = OnDragOver(e->mimeData(), e->position().toPoint());
        e->setDropAction(action);
        if (action == Qt::IgnoreAction) e->ignore();
        else e->accept();
        return true;
    }
    case QEvent::DragLeave:
        OnDragLeave();
        event->accept();
        return true;
    case QEvent::Drop: {
        auto* e = static_cast<QDropEvent*>(event);
        if (OnDragOver(e->mimeData(), e->position().toPoint()) == Qt::IgnoreAction) {
            e->ignore();
            return true;
        }
        e->setDropAction(Qt::CopyAction);
        e->setAccepted(OnDrop(e->mimeData()));
        return true;
    }
    default:
        return QObject::eventFilter(watched, event);
    }
}

CMyDropTarget* InstallDropTarget(QWidget* window, CReportCtrl* fileList) {
    if (!window) return nullptr;
    auto* target = new CMyDropTarget(fileList, window);
    target->Register(window);
    target->owner = window;
    target->enabled = 1;
    return target;
}

}  // namespace velmora
