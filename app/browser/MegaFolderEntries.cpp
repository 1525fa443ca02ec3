#include "app/browser/MegaFolderEntries.h"

#include "app/browser/MegaFolderBrowserModel.h"
#include "app/theme/Theme.h"
#include "model/TextSearch.h"

#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>

namespace {

constexpr int rowHeight = 58;
constexpr int rowGap = 5;

} // namespace

MegaFolderEntries::MegaFolderEntries(MegaFolderBrowserModel &model, QObject *parent) :
    QAbstractListModel(parent),
    m_model(model)
{
    connect(&m_model, &MegaFolderBrowserModel::visibleFilesChanged, this, &MegaFolderEntries::rebuild);
    connect(&m_model, &MegaFolderBrowserModel::treeChanged, this, &MegaFolderEntries::rebuild);
    connect(&m_model, &MegaFolderBrowserModel::selectedChanged, this, &MegaFolderEntries::selectionChanged);
    rebuild();
}

void MegaFolderEntries::rebuild()
{
    beginResetModel();
    m_folders = m_model.folders();
    // While searching, only the folders whose names match lead, above the files found.
    if (const TextSearch search(m_model.search()); !search.isEmpty())
        m_folders.removeIf([&search](const MegaFolderNode &folder) { return !search.matches(folder.name); });
    m_files = m_model.visibleFiles();
    m_selected = m_model.selected();
    endResetModel();
}

void MegaFolderEntries::selectionChanged()
{
    // Only the rows whose mark changed are repainted.
    const QSet<QString> now = m_model.selected();
    for (int i = 0; i < m_files.size(); ++i) {
        const QString &id = m_files[i].id;
        if (now.contains(id) != m_selected.contains(id)) {
            const QModelIndex changed = index(static_cast<int>(m_folders.size()) + i);
            Q_EMIT dataChanged(changed, changed);
        }
    }
    m_selected = now;
}

int MegaFolderEntries::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_folders.size() + m_files.size());
}

const MegaFolderNode &MegaFolderEntries::nodeAt(int row) const
{
    return row < m_folders.size() ? m_folders[row] : m_files[row - m_folders.size()];
}

QVariant MegaFolderEntries::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    const MegaFolderNode &node = nodeAt(index.row());
    const bool selected = m_selected.contains(node.id);
    switch (role) {
    case Qt::DisplayRole:
        return node.name;
    case Qt::ToolTipRole:
        return Theme::plainToolTip(node.name);
    case Qt::AccessibleTextRole:
        if (node.isFolder)
            return node.name;
        return QStringLiteral("%1 %2, %3")
            .arg(selected ? QStringLiteral("Deselect") : QStringLiteral("Select"), node.name, node.formattedSize());
    case NodeIDRole:
        return node.id;
    case IsFolderRole:
        return node.isFolder;
    case IsVideoRole:
        return node.isVideo();
    case IsSelectedRole:
        return selected;
    case PathRole:
        // Worked out only for the rows being painted.
        return node.isFolder || !m_model.tree() ? QString()
                                                : m_model.tree()->relativePath(node, m_model.currentFolder());
    case SizeRole:
        return node.formattedSize();
    default:
        return {};
    }
}

QSize MegaFolderEntryDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return {option.rect.width(), rowHeight + rowGap};
}

void MegaFolderEntryDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                    const QModelIndex &index) const
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QRectF row = QRectF(option.rect).adjusted(2, 0, -2, -rowGap);
    const bool isFolder = index.data(MegaFolderEntries::IsFolderRole).toBool();
    const bool selected = index.data(MegaFolderEntries::IsSelectedRole).toBool();
    const bool hovered = option.state & QStyle::State_MouseOver;

    QPainterPath shape;
    shape.addRoundedRect(row, 8, 8);
    QColor fill = selected ? Theme::withAlpha(Theme::mint, 0.08) : Theme::card;
    if (hovered)
        fill = fill.lighter(118);
    painter->fillPath(shape, fill);
    if (selected) {
        painter->setPen(QPen(Theme::withAlpha(Theme::mint, 0.25), 1));
        painter->drawPath(shape);
    }
    // The row the keys act on, when the list has the focus.
    if (option.state & QStyle::State_HasFocus) {
        painter->setPen(QPen(Theme::withAlpha(Theme::mint, 0.7), 1.5));
        painter->drawPath(shape);
    }

    const QString name = index.data(Qt::DisplayRole).toString();
    qreal x = row.left() + (isFolder ? 13 : 12);
    const qreal middle = row.center().y();
    if (isFolder) {
        painter->drawPixmap(QPointF(x + 3, middle - 11),
                            Theme::pixmap(QStringLiteral("folder"), 22, Theme::mint, true));
        x += 28 + 12;
        const QString open = QStringLiteral("Open folder");
        painter->setFont(Theme::font(10));
        const int openWidth = painter->fontMetrics().horizontalAdvance(open);
        const qreal chevronX = row.right() - 13 - 12;
        painter->drawPixmap(QPointF(chevronX, middle - 6),
                            Theme::pixmap(QStringLiteral("chevron-right"), 12, Theme::white(0.5)));
        painter->setPen(Theme::white(0.5));
        painter->drawText(QRectF(chevronX - 12 - openWidth, row.top(), openWidth, row.height()), Qt::AlignVCenter,
                          open);
        painter->setFont(Theme::font(12, QFont::Medium));
        painter->setPen(Qt::white);
        const QRectF nameBox(x, row.top(), chevronX - 24 - openWidth - x, row.height());
        painter->drawText(nameBox, Qt::AlignVCenter,
                          painter->fontMetrics().elidedText(name, Qt::ElideRight, static_cast<int>(nameBox.width())));
        painter->restore();
        return;
    }

    painter->drawPixmap(QPointF(x, middle - 9),
                        selected ? Theme::pixmap(QStringLiteral("square-check"), 18, Theme::mint, false)
                                 : Theme::pixmap(QStringLiteral("square"), 18, Theme::white(0.5)));
    x += 18 + 12;
    const bool video = index.data(MegaFolderEntries::IsVideoRole).toBool();
    painter->drawPixmap(QPointF(x + 3, middle - 10),
                        Theme::pixmap(video ? QStringLiteral("square-play") : QStringLiteral("file"), 20,
                                      Theme::withAlpha(Theme::mint, 0.8)));
    x += 26 + 12;

    const QString size = index.data(MegaFolderEntries::SizeRole).toString();
    const QFont sizeFont = Theme::font(11);
    painter->setFont(sizeFont);
    const int sizeWidth = painter->fontMetrics().horizontalAdvance(size);
    const qreal sizeX = row.right() - 12 - sizeWidth;
    painter->setPen(Theme::white(0.55));
    painter->drawText(QRectF(sizeX, row.top(), sizeWidth, row.height()), Qt::AlignVCenter, size);

    const qreal textWidth = sizeX - 10 - x;
    const QString path = index.data(MegaFolderEntries::PathRole).toString();
    painter->setFont(Theme::font(12, QFont::Medium));
    const QFontMetricsF nameMetrics(painter->font());
    // The name takes up to two lines, the second elided.
    QStringList lines;
    QTextLayout layout(name, painter->font());
    layout.beginLayout();
    for (int i = 0; i < 2; ++i) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(textWidth);
        lines.append(i == 1 ? nameMetrics.elidedText(name.mid(line.textStart()), Qt::ElideRight, textWidth)
                            : name.mid(line.textStart(), line.textLength()));
    }
    layout.endLayout();
    const int pathLines = path.isEmpty() ? 0 : 1;
    const qreal blockHeight = lines.size() * nameMetrics.height() + pathLines * 14 + (pathLines ? 4 : 0);
    qreal y = middle - blockHeight / 2;
    painter->setPen(Qt::white);
    for (const QString &line : lines) {
        painter->drawText(QRectF(x, y, textWidth, nameMetrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                          line.trimmed());
        y += nameMetrics.height();
    }
    if (pathLines) {
        painter->setFont(Theme::font(10));
        painter->setPen(Theme::white(0.5));
        painter->drawText(QRectF(x, y + 4, textWidth, 14), Qt::AlignLeft | Qt::AlignVCenter,
                          painter->fontMetrics().elidedText(path, Qt::ElideMiddle, static_cast<int>(textWidth)));
    }
    painter->restore();
}
