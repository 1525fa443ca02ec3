#pragma once

#include "app/ui/DownloadRowDelegate.h"

#include <QAccessible>
#include <QHash>
#include <QListView>
#include <QTimer>
#include <QUuid>

class DownloadManager;

// The queue's list: painted rows whose every action can also be done from
// the keyboard (Space pauses or resumes, Delete removes, Return shows a
// finished file, the menu key opens the row's menu, Ctrl+C copies the status)
// and read by a screen reader, buttons included. Shift and Ctrl select
// several rows, which Space, Delete and the menu then act on together; a
// double click opens a finished file.
class QueueView : public QListView {
    Q_OBJECT

public:
    QueueView(DownloadManager &manager, QWidget *parent = nullptr);
    ~QueueView() override;

    DownloadRowDelegate &rowDelegate() const { return *m_delegate; }
    // The item a row shows, while it is still in the queue.
    const DownloadItem *itemAt(const QModelIndex &index) const;
    // The row showing the item with this id; hint is where to look first.
    QModelIndex indexOf(const QUuid &id, int hint = -1) const;
    // The buttons of a row and where they are drawn, in viewport coordinates.
    QList<DownloadRowDelegate::Action> actionsAt(const QModelIndex &index) const;
    QList<QRect> actionRectsAt(const QModelIndex &index) const;
    // The row's menu: its actions, then "Copy status".
    void showRowMenu(const QModelIndex &index, const QPoint &viewportPosition);
    void copyStatus(const QModelIndex &index) const;
    // The ids of the selected rows, top down; the current row when none is selected.
    QList<QUuid> chosenIds() const;
    // Removes items; asks first when that stops a download or deletes what it
    // downloaded so far. Answers whether they were removed.
    bool removeItems(const QList<QUuid> &ids);

    // The screen reader's handles for rows and buttons, made on demand and kept.
    QAccessible::Id accessibleRowId(const QUuid &id) const;
    QAccessible::Id accessibleButtonId(const QUuid &id, const QString &title) const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;
    void rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end) override;
    void updateGeometries() override;
    // Changed rows are gathered and repainted together on a short tick: a
    // download that reports a thousand times a second costs five repaints.
    void dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                     const QList<int> &roles = QList<int>()) override;

private:
    DownloadManager &m_manager;
    DownloadRowDelegate *m_delegate;
    bool m_snapAfterRemoval = false;
    QTimer m_repaintTick;
    int m_firstChanged = -1; // the rows changed since the last repaint, -1 when none
    int m_lastChanged = -1;
    mutable QHash<QUuid, QAccessible::Id> m_rowIds;
    mutable QHash<QPair<QUuid, QString>, QAccessible::Id> m_buttonIds;
};
