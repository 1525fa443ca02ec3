#include "app/ui/QueueView.h"

#include "app/manager/DownloadListModel.h"
#include "app/manager/DownloadManager.h"
#include "app/theme/Theme.h"
#include "app/ui/FormatChooser.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>

namespace {

class RowAccessible;

// One painted button of a row, as a screen reader sees it: a push button
// named by its tooltip that can be pressed.
class ButtonAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    ButtonAccessible(QueueView *view, const QUuid &id, const QString &title) : m_view(view), m_id(id), m_title(title) {}

    bool isValid() const override { return position() >= 0; }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_view ? m_view->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override
    {
        return m_view ? QAccessible::accessibleInterface(m_view->accessibleRowId(m_id)) : nullptr;
    }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text kind) const override
    {
        return kind == QAccessible::Name || kind == QAccessible::Description ? m_title : QString();
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override
    {
        const int at = position();
        if (at < 0)
            return {};
        const QModelIndex index = m_view->indexOf(m_id);
        const QRect local = m_view->actionRectsAt(index).value(at);
        return {m_view->viewport()->mapToGlobal(local.topLeft()), local.size()};
    }
    QAccessible::Role role() const override { return QAccessible::Button; }
    QAccessible::State state() const override
    {
        QAccessible::State state;
        state.invisible = !isValid();
        return state;
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface *>(this) : nullptr;
    }

    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString &name) override
    {
        const int at = position();
        if (name != pressAction() || at < 0)
            return;
        m_view->actionsAt(m_view->indexOf(m_id)).at(at).run();
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }

private:
    // Which of the row's buttons this is now; -1 when the state no longer offers it.
    int position() const
    {
        if (!m_view)
            return -1;
        const QModelIndex index = m_view->indexOf(m_id);
        if (!index.isValid())
            return -1;
        const QList<DownloadRowDelegate::Action> actions = m_view->actionsAt(index);
        for (qsizetype i = 0; i < actions.size(); ++i) {
            if (actions[i].title == m_title)
                return static_cast<int>(i);
        }
        return -1;
    }

    QPointer<QueueView> m_view;
    QUuid m_id;
    QString m_title;
};

// One row: named by the title, described by its state and progress or
// status, with the row's buttons as children.
class RowAccessible : public QAccessibleInterface {
public:
    RowAccessible(QueueView *view, const QUuid &id) : m_view(view), m_id(id) {}

    bool isValid() const override { return m_view && index().isValid(); }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_view ? m_view->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(m_view); }
    QAccessibleInterface *child(int at) const override
    {
        const QList<DownloadRowDelegate::Action> actions =
            isValid() ? m_view->actionsAt(index()) : QList<DownloadRowDelegate::Action>();
        if (at < 0 || at >= actions.size())
            return nullptr;
        return QAccessible::accessibleInterface(m_view->accessibleButtonId(m_id, actions[at].title));
    }
    int childCount() const override { return isValid() ? static_cast<int>(m_view->actionsAt(index()).size()) : 0; }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        for (int i = 0; i < childCount(); ++i) {
            if (this->child(i) == child)
                return i;
        }
        return -1;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        for (int i = 0; i < childCount(); ++i) {
            if (child(i)->rect().contains(x, y))
                return child(i);
        }
        return nullptr;
    }
    QString text(QAccessible::Text kind) const override
    {
        if (!isValid())
            return {};
        if (kind == QAccessible::Name)
            return index().data(Qt::AccessibleTextRole).toString();
        if (kind == QAccessible::Description)
            return index().data(Qt::AccessibleDescriptionRole).toString();
        return {};
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override
    {
        if (!isValid())
            return {};
        const QRect local = m_view->visualRect(index());
        return {m_view->viewport()->mapToGlobal(local.topLeft()), local.size()};
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override
    {
        QAccessible::State state;
        if (!isValid()) {
            state.invisible = true;
            return state;
        }
        state.focusable = true;
        state.selectable = true;
        state.selected = m_view->selectionModel()->isSelected(index());
        state.focused = m_view->hasFocus() && m_view->currentIndex() == index();
        return state;
    }

private:
    QModelIndex index() const
    {
        const QModelIndex found = m_view->indexOf(m_id, m_row);
        m_row = found.isValid() ? found.row() : -1;
        return found;
    }

    QPointer<QueueView> m_view;
    QUuid m_id;
    mutable int m_row = -1;
};

// The list as a screen reader sees it: one child per row on the list.
class QueueAccessible : public QAccessibleWidget {
public:
    explicit QueueAccessible(QueueView *view) : QAccessibleWidget(view, QAccessible::List) {}

    int childCount() const override { return view()->model() ? view()->model()->rowCount() : 0; }
    QAccessibleInterface *child(int at) const override
    {
        const QModelIndex index = view()->model()->index(at, 0);
        if (!index.isValid())
            return nullptr;
        return QAccessible::accessibleInterface(
            view()->accessibleRowId(index.data(DownloadListModel::IdRole).toUuid()));
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (!child || child->role() != QAccessible::ListItem)
            return -1;
        const QModelIndex at = view()->indexAt(view()->viewport()->mapFromGlobal(child->rect().center()));
        return at.isValid() && this->child(at.row()) == child ? at.row() : -1;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        const QModelIndex at = view()->indexAt(view()->viewport()->mapFromGlobal(QPoint(x, y)));
        return at.isValid() ? child(at.row()) : nullptr;
    }
    QAccessibleInterface *focusChild() const override
    {
        return view()->hasFocus() && view()->currentIndex().isValid() ? child(view()->currentIndex().row()) : nullptr;
    }

private:
    QueueView *view() const { return static_cast<QueueView *>(widget()); }
};

QAccessibleInterface *queueAccessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("QueueView") && object && object->isWidgetType())
        return new QueueAccessible(static_cast<QueueView *>(object));
    return nullptr;
}

} // namespace

QueueView::QueueView(DownloadManager &manager, QWidget *parent) :
    QListView(parent),
    m_manager(manager),
    m_delegate(new DownloadRowDelegate(manager, this))
{
    static const bool installed = [] {
        QAccessible::installFactory(queueAccessibleFactory);
        return true;
    }();
    Q_UNUSED(installed);
    setItemDelegate(m_delegate);
    m_delegate->setRemover([this](const QUuid &id) { removeItems({id}); });
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setFocusPolicy(Qt::StrongFocus);
    connect(this, &QListView::doubleClicked, this, [this](const QModelIndex &index) {
        if (const DownloadItem *item = itemAt(index); item && item->state == DownloadState::completed)
            m_manager.open(*item);
    });
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QListView::customContextMenuRequested, this, [this](const QPoint &point) {
        // The menu key opens the menu of the current row, wherever the pointer is.
        const QModelIndex index = indexAt(point);
        showRowMenu(index.isValid() ? index : currentIndex(), point);
    });
    m_repaintTick.setSingleShot(true);
    m_repaintTick.setInterval(200);
    connect(&m_repaintTick, &QTimer::timeout, this, [this] {
        // Rows may have come and gone since: what is left of the range is repainted.
        const int last = std::min(m_lastChanged, model() ? model()->rowCount() - 1 : -1);
        const int first = std::exchange(m_firstChanged, -1);
        m_lastChanged = -1;
        if (first >= 0 && first <= last)
            QListView::dataChanged(model()->index(first, 0), model()->index(last, 0));
    });
}

void QueueView::dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QList<int> &roles)
{
    if (!topLeft.isValid() || !bottomRight.isValid())
        return QListView::dataChanged(topLeft, bottomRight, roles);
    m_firstChanged = m_firstChanged < 0 ? topLeft.row() : std::min(m_firstChanged, topLeft.row());
    m_lastChanged = std::max(m_lastChanged, bottomRight.row());
    if (!m_repaintTick.isActive())
        m_repaintTick.start();
}

QueueView::~QueueView()
{
    for (const QAccessible::Id id : std::as_const(m_buttonIds))
        QAccessible::deleteAccessibleInterface(id);
    for (const QAccessible::Id id : std::as_const(m_rowIds))
        QAccessible::deleteAccessibleInterface(id);
}

const DownloadItem *QueueView::itemAt(const QModelIndex &index) const
{
    return m_delegate->itemAt(index);
}

QModelIndex QueueView::indexOf(const QUuid &id, int hint) const
{
    if (!model())
        return {};
    const QModelIndex hinted = model()->index(hint, 0);
    if (hinted.isValid() && hinted.data(DownloadListModel::IdRole).toUuid() == id)
        return hinted;
    for (int row = 0; row < model()->rowCount(); ++row) {
        const QModelIndex index = model()->index(row, 0);
        if (index.data(DownloadListModel::IdRole).toUuid() == id)
            return index;
    }
    return {};
}

QList<DownloadRowDelegate::Action> QueueView::actionsAt(const QModelIndex &index) const
{
    const DownloadItem *item = itemAt(index);
    return item ? m_delegate->actions(*item) : QList<DownloadRowDelegate::Action>();
}

QList<QRect> QueueView::actionRectsAt(const QModelIndex &index) const
{
    return m_delegate->actionRects(visualRect(index), actionsAt(index).size());
}

void QueueView::copyStatus(const QModelIndex &index) const
{
    if (const DownloadItem *item = itemAt(index))
        QApplication::clipboard()->setText(item->detail);
}

QList<QUuid> QueueView::chosenIds() const
{
    QModelIndexList rows = selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    QList<QUuid> ids;
    for (const QModelIndex &row : std::as_const(rows))
        ids.append(row.data(DownloadListModel::IdRole).toUuid());
    if (ids.isEmpty() && currentIndex().isValid())
        ids.append(currentIndex().data(DownloadListModel::IdRole).toUuid());
    return ids;
}

bool QueueView::removeItems(const QList<QUuid> &ids)
{
    // What a removal cannot give back: a running download, and the part an
    // unfinished one has downloaded, which goes with it.
    const auto costly = [this](const QUuid &id) {
        const DownloadItem *item = m_manager.item(id);
        return item && (item->state == DownloadState::downloading ||
                        (item->state != DownloadState::completed && (item->progress > 0 || item->bytesDone > 0)));
    };
    if (std::any_of(ids.begin(), ids.end(), costly)) {
        const DownloadItem *only = ids.size() == 1 ? m_manager.item(ids.first()) : nullptr;
        const QString question = only ? QStringLiteral("Remove \"%1\"?").arg(only->title)
                                      : QStringLiteral("Remove %1 downloads?").arg(ids.size());
        QMessageBox alert(QMessageBox::Warning, question, question, QMessageBox::NoButton, this);
        Theme::applyAlertStyle(&alert);
        alert.setTextFormat(Qt::PlainText);
        alert.setInformativeText(only ? QStringLiteral("The download stops, and the part downloaded so far is deleted.")
                                      : QStringLiteral("Unfinished downloads stop, and the parts they downloaded so "
                                                       "far are deleted. Saved files stay on disk."));
        QPushButton *keep = alert.addButton(QStringLiteral("Keep"), QMessageBox::RejectRole);
        QPushButton *remove = alert.addButton(QStringLiteral("Remove"), QMessageBox::DestructiveRole);
        alert.setDefaultButton(keep);
        alert.exec();
        if (alert.clickedButton() != static_cast<QAbstractButton *>(remove))
            return false;
    }
    const int row = currentIndex().row();
    for (const QUuid &id : ids)
        m_manager.remove(id);
    // The next row takes the place of the removed one.
    if (model()->rowCount() > 0)
        setCurrentIndex(model()->index(std::clamp(row, 0, model()->rowCount() - 1), 0));
    return true;
}

void QueueView::showRowMenu(const QModelIndex &index, const QPoint &viewportPosition)
{
    if (!itemAt(index))
        return;
    QMenu menu;
    const QList<QUuid> chosen = chosenIds();
    if (chosen.size() > 1 && chosen.contains(index.data(DownloadListModel::IdRole).toUuid())) {
        // The menu of several rows acts on all of them.
        QList<QUuid> running;
        QList<QUuid> stopped;
        QStringList links;
        for (const QUuid &id : chosen) {
            const DownloadItem *item = m_manager.item(id);
            if (!item)
                continue;
            links.append(item->url);
            if (item->state == DownloadState::downloading || item->state == DownloadState::queued)
                running.append(id);
            else if (item->state == DownloadState::paused || item->state == DownloadState::failed)
                stopped.append(id);
        }
        if (!running.isEmpty())
            menu.addAction(QStringLiteral("Pause %1").arg(running.size()), this, [this, running] {
                for (const QUuid &id : running)
                    m_manager.pause(id);
            });
        if (!stopped.isEmpty())
            menu.addAction(QStringLiteral("Resume or retry %1").arg(stopped.size()), this, [this, stopped] {
                for (const QUuid &id : stopped)
                    m_manager.resume(id);
            });
        menu.addAction(QStringLiteral("Remove %1 from queue").arg(chosen.size()), this,
                       [this, chosen] { removeItems(chosen); });
        menu.addSeparator();
        menu.addAction(QStringLiteral("Copy links"), this,
                       [links] { QApplication::clipboard()->setText(links.join(QLatin1Char('\n'))); });
        menu.exec(viewport()->mapToGlobal(viewportPosition));
        return;
    }
    for (const DownloadRowDelegate::Action &action : actionsAt(index))
        menu.addAction(action.title, this, action.run);
    // A video not started yet may be given a format of its own.
    if (const QUuid id = index.data(DownloadListModel::IdRole).toUuid(); m_manager.mayChooseFormat(id)) {
        menu.addAction(QStringLiteral("Choose format\u2026"), this, [this, id] {
            auto *chooser = new FormatChooser(m_manager, id, window());
            chooser->setAttribute(Qt::WA_DeleteOnClose);
            chooser->open();
        });
    }
    menu.addSeparator();
    menu.addAction(QStringLiteral("Copy status"), this, [this, index] { copyStatus(index); });
    menu.addAction(QStringLiteral("Copy link"), this, [this, index] {
        if (const DownloadItem *item = itemAt(index))
            QApplication::clipboard()->setText(item->url);
    });
    // From the keyboard the menu opens on the row, not where the pointer happens to be.
    const QPoint at =
        visualRect(index).contains(viewportPosition) ? viewportPosition : visualRect(index).topLeft() + QPoint(90, 40);
    menu.exec(viewport()->mapToGlobal(at));
}

void QueueView::keyPressEvent(QKeyEvent *event)
{
    const QModelIndex index = currentIndex();
    const DownloadItem *item = itemAt(index);
    if (event->matches(QKeySequence::Copy)) {
        copyStatus(index);
        return;
    }
    if (item && event->modifiers() == Qt::NoModifier) {
        switch (event->key()) {
        case Qt::Key_Space: {
            // The current row decides; the other chosen rows follow where they can.
            const bool pausing = item->state == DownloadState::downloading || item->state == DownloadState::queued;
            for (const QUuid &id : chosenIds()) {
                const DownloadItem *chosen = m_manager.item(id);
                if (!chosen)
                    continue;
                if (pausing && (chosen->state == DownloadState::downloading || chosen->state == DownloadState::queued))
                    m_manager.pause(id);
                else if (!pausing && (chosen->state == DownloadState::paused || chosen->state == DownloadState::failed))
                    m_manager.resume(id);
            }
            return;
        }
        case Qt::Key_Delete:
            removeItems(chosenIds());
            return;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (item->state == DownloadState::completed)
                m_manager.reveal(*item);
            return;
        case Qt::Key_Menu:
            showRowMenu(index, visualRect(index).topLeft());
            return;
        default:
            break;
        }
    }
    QListView::keyPressEvent(event);
}

void QueueView::rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end)
{
    QListView::rowsAboutToBeRemoved(parent, start, end);
    m_snapAfterRemoval = true;
}

void QueueView::updateGeometries()
{
    QListView::updateGeometries();
    // Rows scroll by the pixel, but a removal must not leave the top row cut.
    if (!m_snapAfterRemoval)
        return;
    m_snapAfterRemoval = false;
    QScrollBar *bar = verticalScrollBar();
    const int row = m_delegate->rowHeight();
    bar->setValue(std::min(bar->maximum(), (bar->value() + row / 2) / row * row) / row * row);
}

void QueueView::focusInEvent(QFocusEvent *event)
{
    QListView::focusInEvent(event);
    // Arriving by Tab, the keys act on the first row in view. Not on a click:
    // the click picks its row, and moving the list here would put another
    // row under the pointer before the click lands.
    if (event->reason() == Qt::MouseFocusReason || currentIndex().isValid() || !model() || model()->rowCount() == 0)
        return;
    const QModelIndex inView = indexAt(QPoint(viewport()->width() / 2, m_delegate->rowHeight() / 2));
    const bool scrolls = hasAutoScroll();
    setAutoScroll(false);
    selectionModel()->setCurrentIndex(inView.isValid() ? inView : model()->index(0, 0), QItemSelectionModel::NoUpdate);
    setAutoScroll(scrolls);
}

void QueueView::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    QListView::currentChanged(current, previous);
    if (current.isValid() && hasFocus() && QAccessible::isActive()) {
        QAccessibleEvent focus(this, QAccessible::Focus);
        focus.setChild(current.row());
        QAccessible::updateAccessibility(&focus);
    }
}

QAccessible::Id QueueView::accessibleRowId(const QUuid &id) const
{
    auto found = m_rowIds.constFind(id);
    if (found != m_rowIds.cend() && QAccessible::accessibleInterface(*found))
        return *found;
    const QAccessible::Id created =
        QAccessible::registerAccessibleInterface(new RowAccessible(const_cast<QueueView *>(this), id));
    m_rowIds.insert(id, created);
    return created;
}

QAccessible::Id QueueView::accessibleButtonId(const QUuid &id, const QString &title) const
{
    const QPair<QUuid, QString> key(id, title);
    auto found = m_buttonIds.constFind(key);
    if (found != m_buttonIds.cend() && QAccessible::accessibleInterface(*found))
        return *found;
    const QAccessible::Id created =
        QAccessible::registerAccessibleInterface(new ButtonAccessible(const_cast<QueueView *>(this), id, title));
    m_buttonIds.insert(key, created);
    return created;
}
