#pragma once

#include "app/records/DownloadItem.h"

#include <QStyledItemDelegate>

class DownloadManager;

// Paints one download as a card (thumbnail, title and badge, meta row,
// progress, status and the buttons its state allows) and handles clicks on
// those buttons. Rows are painted, not built, so long queues stay smooth.
class DownloadRowDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    DownloadRowDelegate(DownloadManager &manager, QObject *parent = nullptr);

    // A row's card and the gap below it; compact rows are for windows too low
    // for the full cards.
    int cardHeight() const { return m_compact ? 56 : 112; }
    int rowGap() const { return m_compact ? 6 : 10; }
    int rowHeight() const { return cardHeight() + rowGap(); }
    bool isCompact() const { return m_compact; }
    void setCompact(bool compact);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

    struct Action {
        QString title; // tooltip and accessible name
        QString icon;
        std::function<void()> run;
    };
    // What the row's remove button asks for; by default the item goes at once.
    void setRemover(std::function<void(const QUuid &)> remover) { m_remover = std::move(remover); }
    // The buttons a row shows for its item, in order.
    QList<Action> actions(const DownloadItem &item) const;
    static QColor stateColour(DownloadState state);
    // The item a row shows, while it is still in the queue.
    const DownloadItem *itemAt(const QModelIndex &index) const;
    // Where a row's buttons are drawn, given how many it has.
    QList<QRect> actionRects(const QRect &row, qsizetype count) const;

private:
    DownloadManager &m_manager;
    bool m_compact = false;
    std::function<void(const QUuid &)> m_remover;
};
