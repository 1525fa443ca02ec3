#include "app/ui/DownloadRowDelegate.h"

#include "app/manager/DownloadListModel.h"
#include "app/manager/DownloadManager.h"
#include "app/records/FailureWords.h"
#include "app/theme/Theme.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

namespace {

constexpr int padding = 15;
constexpr int buttonSize = 25;

} // namespace

DownloadRowDelegate::DownloadRowDelegate(DownloadManager &manager, QObject *parent) :
    QStyledItemDelegate(parent),
    m_manager(manager)
{}

QColor DownloadRowDelegate::stateColour(DownloadState state)
{
    switch (state) {
    case DownloadState::failed:
        return Theme::orange;
    case DownloadState::paused:
        return QColor(0xFF, 0xD6, 0x0A);
    default:
        return Theme::mint;
    }
}

const DownloadItem *DownloadRowDelegate::itemAt(const QModelIndex &index) const
{
    return m_manager.item(index.data(DownloadListModel::IdRole).toUuid());
}

QList<DownloadRowDelegate::Action> DownloadRowDelegate::actions(const DownloadItem &item) const
{
    QList<Action> result;
    const QUuid id = item.id;
    DownloadManager *manager = &m_manager;
    const bool waiting = item.state == DownloadState::failed && item.retryAt;
    if (waiting)
        result.append(
            {QStringLiteral("Retry now"), QStringLiteral("rotate-cw"), [manager, id] { manager->resume(id); }});
    // Pausing an item that waits to try again cancels the wait.
    if (item.state == DownloadState::downloading || item.state == DownloadState::queued || waiting)
        result.append({QStringLiteral("Pause"), QStringLiteral("pause"), [manager, id] { manager->pause(id); }});
    if (item.state == DownloadState::paused || (item.state == DownloadState::failed && !waiting))
        result.append({QStringLiteral("Resume or retry"),
                       item.state == DownloadState::failed ? QStringLiteral("rotate-cw") : QStringLiteral("play"),
                       [manager, id] { manager->resume(id); }});
    if (item.state == DownloadState::completed)
        result.append(
            {QStringLiteral("Show in Folder"), QStringLiteral("folder"), [manager, item] { manager->reveal(item); }});
    const auto remover = m_remover;
    result.append({QStringLiteral("Remove from queue"), QStringLiteral("x"), [manager, remover, id] {
                       if (remover)
                           remover(id);
                       else
                           manager->remove(id);
                   }});
    return result;
}

void DownloadRowDelegate::setCompact(bool compact)
{
    if (compact == m_compact)
        return;
    m_compact = compact;
    Q_EMIT sizeHintChanged(QModelIndex());
}

QList<QRect> DownloadRowDelegate::actionRects(const QRect &row, qsizetype count) const
{
    QList<QRect> rects;
    const QRect card = row.adjusted(0, 0, 0, -rowGap());
    const int top = m_compact ? (cardHeight() - buttonSize) / 2 : padding + 21;
    int x = card.right() - padding - static_cast<int>(count) * (buttonSize + 8) + 8;
    for (qsizetype i = 0; i < count; ++i) {
        rects.append(QRect(x, card.top() + top, buttonSize, buttonSize));
        x += buttonSize + 8;
    }
    return rects;
}

QSize DownloadRowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return {option.rect.width(), rowHeight()};
}

void DownloadRowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const DownloadItem *found = itemAt(index);
    if (!found)
        return;
    const DownloadItem &item = *found;
    // Waiting to try again looks like a pause: nothing is wrong that needs the user.
    const QColor colour = item.state == DownloadState::failed && item.retryAt ? stateColour(DownloadState::paused)
                                                                              : stateColour(item.state);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QRect card = option.rect.adjusted(0, 0, -2, -rowGap());
    // Full cards stack title, details, bar and status; compact ones put the
    // status beside the details and the bar along the bottom.
    const int inset = m_compact ? 10 : padding;
    QPainterPath shape;
    shape.addRoundedRect(QRectF(card), 12, 12);
    painter->fillPath(shape, Theme::card);
    // Chosen rows, which Space, Delete and the menu act on together.
    if (option.state & QStyle::State_Selected) {
        painter->fillPath(shape, Theme::withAlpha(Theme::mint, 0.06));
        painter->setPen(QPen(Theme::withAlpha(Theme::mint, 0.3), 1));
        painter->drawPath(shape);
    }
    // The row the keys act on, when the list has the focus.
    if (option.state & QStyle::State_HasFocus) {
        painter->setPen(QPen(Theme::withAlpha(Theme::mint, 0.7), 1.5));
        painter->drawPath(shape);
    }

    // Thumbnail.
    const QRectF thumb(card.left() + inset, card.top() + inset, m_compact ? 36 : 67, m_compact ? 36 : 66);
    QPainterPath thumbShape;
    thumbShape.addRoundedRect(thumb, 10, 10);
    QLinearGradient gradient(thumb.topLeft(), thumb.bottomRight());
    gradient.setColorAt(0, Theme::withAlpha(colour, 0.18));
    gradient.setColorAt(1, Theme::white(0.025));
    painter->fillPath(thumbShape, gradient);
    const QString symbol =
        item.platform() == QLatin1String("MEGA") ? QStringLiteral("cloud") : QStringLiteral("square-play");
    painter->drawPixmap(thumb.center() - QPointF(12, 12), Theme::pixmap(symbol, 24, colour));

    const QList<Action> buttons = actions(item);
    const QList<QRect> buttonRects = actionRects(option.rect, buttons.size());
    const qreal left = thumb.right() + 14;
    const qreal right = buttonRects.first().left() - 14;
    const qreal width = right - left;
    qreal y = card.top() + (m_compact ? 8 : padding);

    // Title row with the state badge.
    const QString badge =
        item.state == DownloadState::failed && item.retryAt ? QStringLiteral("Waiting") : rawValue(item.state);
    painter->setFont(Theme::font(9, QFont::Medium));
    const int badgeWidth = painter->fontMetrics().horizontalAdvance(badge) + 16;
    const QRectF badgeRect(right - badgeWidth, y, badgeWidth, 18);
    QPainterPath capsule;
    capsule.addRoundedRect(badgeRect, 9, 9);
    painter->fillPath(capsule, Theme::withAlpha(colour, 0.09));
    painter->setPen(colour);
    painter->drawText(badgeRect, Qt::AlignCenter, badge);
    painter->setFont(Theme::font(12, QFont::DemiBold));
    painter->setPen(Qt::white);
    const QRectF titleRect(left, y, width - badgeWidth - 10, 18);
    // Until the worker reads a title, the link tells rows apart.
    const bool standIn = item.titleIsStandIn();
    painter->drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter,
                      painter->fontMetrics().elidedText(standIn ? item.url : item.title,
                                                        standIn ? Qt::ElideMiddle : Qt::ElideRight,
                                                        static_cast<int>(titleRect.width())));
    y += m_compact ? 18 + 4 : 18 + 8;

    // Meta row; a failed row also names its link.
    painter->setFont(Theme::font(10));
    const QString dot = QStringLiteral("  \u00b7  ");
    QString meta = item.platform() + dot + item.quality + dot + item.sizeText();
    if (item.state == DownloadState::failed && !standIn) {
        const int room =
            static_cast<int>(m_compact ? width / 2 : width) - painter->fontMetrics().horizontalAdvance(meta + dot);
        if (room > 60)
            meta += dot + painter->fontMetrics().elidedText(item.url, Qt::ElideMiddle, room);
    }
    painter->setPen(Theme::white(0.55));
    int metaWidth = painter->fontMetrics().horizontalAdvance(meta);
    painter->drawText(QRectF(left, y, width, 14), Qt::AlignLeft | Qt::AlignVCenter, meta);
    if (item.state == DownloadState::downloading) {
        const QString percent = QString::asprintf("%.1f%%", item.progress);
        painter->setPen(Theme::mint);
        painter->drawText(QRectF(left + metaWidth + 7, y, 80, 14), Qt::AlignLeft | Qt::AlignVCenter, percent);
        metaWidth += 7 + painter->fontMetrics().horizontalAdvance(percent);
    }
    const qreal metaY = y;
    y += 14 + 8;

    // Progress bar, slim.
    const QRectF track(left, m_compact ? card.bottom() - 8 : y, width, m_compact ? 3 : 4);
    QPainterPath trackShape;
    trackShape.addRoundedRect(track, 2, 2);
    painter->fillPath(trackShape, Theme::white(0.08));
    const double fraction = std::clamp(item.progress, 0.0, 100.0) / 100.0;
    if (fraction > 0) {
        QPainterPath bar;
        bar.addRoundedRect(QRectF(track.left(), track.top(), track.width() * fraction, track.height()), 2, 2);
        painter->fillPath(bar, colour);
    }
    y += 4 + 8;

    // Status row.
    painter->setFont(Theme::font(10));
    const QColor statusColour = item.state == DownloadState::failed ? colour : Theme::white(0.55);
    painter->setPen(statusColour);
    qreal x = left;
    if (m_compact) {
        y = metaY;
        x = left + metaWidth + 12;
    }
    if (item.state == DownloadState::downloading) {
        painter->drawPixmap(QPointF(x, y + 1), Theme::pixmap(QStringLiteral("arrow-down"), 12, statusColour));
        x += 14;
        const QString speed = item.speedText();
        const int speedWidth = painter->fontMetrics().horizontalAdvance(speed);
        painter->drawText(QRectF(x, y, speedWidth, 14), Qt::AlignLeft | Qt::AlignVCenter, speed);
        x += speedWidth + 12;
        const QString eta = QStringLiteral("ETA ") + item.etaText();
        const int etaWidth = painter->fontMetrics().horizontalAdvance(eta);
        painter->drawText(QRectF(x, y, etaWidth, 14), Qt::AlignLeft | Qt::AlignVCenter, eta);
        x += etaWidth + 12;
    }
    const QRectF detailRect(x, y, right - x, m_compact ? 14 : 28);
    const int lines = m_compact ? 1 : 2;
    painter->drawText(
        detailRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
        painter->fontMetrics().elidedText(FailureWords::shownDetail(item, m_manager.now()), Qt::ElideRight,
                                          static_cast<int>(detailRect.width() * lines - 20 * (lines - 1))));

    // Buttons.
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        const QRectF button(buttonRects[i]);
        QPainterPath buttonShape;
        buttonShape.addRoundedRect(button, 6, 6);
        const bool hovered = (option.state & QStyle::State_MouseOver) && option.widget &&
                             button.contains(option.widget->mapFromGlobal(QCursor::pos()));
        painter->fillPath(buttonShape, Theme::white(hovered ? 0.1 : 0.04));
        painter->drawPixmap(button.center() - QPointF(6, 6), Theme::pixmap(buttons[i].icon, 12, Theme::white(0.6)));
    }
    painter->restore();
}

bool DownloadRowDelegate::editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                                      const QModelIndex &index)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (const DownloadItem *item = itemAt(index)) {
            const QList<Action> buttons = actions(*item);
            const QList<QRect> rects = actionRects(option.rect, buttons.size());
            for (qsizetype i = 0; i < buttons.size(); ++i) {
                if (rects[i].contains(mouse->position().toPoint())) {
                    buttons[i].run();
                    return true;
                }
            }
        }
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

bool DownloadRowDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                                    const QModelIndex &index)
{
    const DownloadItem *item = itemAt(index);
    if (!item || event->type() != QEvent::ToolTip)
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const QList<Action> buttons = actions(*item);
    const QList<QRect> rects = actionRects(option.rect, buttons.size());
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        if (rects[i].contains(event->pos())) {
            QToolTip::showText(event->globalPos(), buttons[i].title, view);
            return true;
        }
    }
    // Anywhere else on the row: the whole status text and the link.
    QToolTip::showText(event->globalPos(),
                       Theme::plainToolTip(item->detail.isEmpty() ? item->url : item->detail + u'\n' + item->url),
                       view);
    return true;
}
