#include "app/ui/FormatChooser.h"

#include "app/manager/DownloadManager.h"
#include "app/theme/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

FormatChooser::FormatChooser(DownloadManager &manager, const QUuid &id, QWidget *parent) :
    QDialog(parent),
    m_manager(manager),
    m_id(id)
{
    setWindowTitle(QStringLiteral("Choose format"));
    setModal(true);
    resize(620, 480);
    setMinimumSize(460, 340);
    Theme::applyPanelStyle(this);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(22, 20, 22, 20);
    column->setSpacing(12);
    const DownloadItem *item = manager.item(id);
    auto *title = Theme::label(QString(), 17, QFont::DemiBold);
    title->setTextFormat(Qt::PlainText);
    const QString name = item ? (item->titleIsStandIn() ? item->url : item->title) : QString();
    title->setText(title->fontMetrics().elidedText(name, Qt::ElideMiddle, 570));
    column->addWidget(title);
    m_state = Theme::label(QStringLiteral("Asking yt-dlp which formats this link offers\u2026"), 12, QFont::Normal,
                           Theme::white(0.6));
    m_state->setWordWrap(true);
    m_state->setTextFormat(Qt::PlainText);
    column->addWidget(m_state);
    m_list = new QListWidget;
    m_list->setAccessibleName(QStringLiteral("Formats"));
    m_list->setStyleSheet(QStringLiteral("QListWidget { %1 border: none; padding: 6px; }"
                                         "QListWidget::item { padding: 7px 6px; }")
                              .arg(Theme::roundedStyle(Theme::withAlpha(Theme::card, 0.35), 10)));
    column->addWidget(m_list, 1);
    auto *footer = new QHBoxLayout;
    footer->addStretch();
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    footer->addWidget(cancel);
    m_use = new QPushButton(QStringLiteral("Use this format"));
    m_use->setDefault(true);
    m_use->setEnabled(false);
    connect(m_use, &QPushButton::clicked, this, [this] { choose(m_list->currentRow()); });
    connect(m_list, &QListWidget::currentRowChanged, this, [this](int row) { m_use->setEnabled(row >= 0); });
    connect(m_list, &QListWidget::itemDoubleClicked, this, [this] { choose(m_list->currentRow()); });
    footer->addWidget(m_use);
    column->addLayout(footer);
    connect(&manager, &DownloadManager::formatsListed, this, &FormatChooser::listed);
    manager.listFormats(id);
}

int FormatChooser::formatCount() const
{
    return static_cast<int>(m_formats.size());
}

void FormatChooser::listed(const QUuid &id, const QList<VideoFormat> &formats, const QString &error)
{
    if (id != m_id)
        return;
    if (!error.isEmpty()) {
        m_state->setText(QStringLiteral("No formats could be listed: ") + error);
        return;
    }
    m_state->setText(QStringLiteral("%1 formats, the best last. A picture without sound gets the best sound "
                                    "beside it.")
                         .arg(formats.size()));
    m_formats = formats;
    for (const VideoFormat &format : formats)
        m_list->addItem(format.id + QStringLiteral("  \u00b7  ") + format.description());
    m_list->setCurrentRow(m_list->count() - 1);
    m_list->scrollToBottom();
}

void FormatChooser::choose(int row)
{
    if (row < 0 || row >= m_formats.size())
        return;
    const VideoFormat &format = m_formats[row];
    if (!m_manager.mayChooseFormat(m_id)) {
        m_state->setText(QStringLiteral("This download has started, so its format stays as it is."));
        return;
    }
    const bool ffmpeg = m_manager.executable(QStringLiteral("ffmpeg")).has_value();
    const QString label = format.height ? QStringLiteral("Format %1 (%2p)").arg(format.id).arg(*format.height)
                                        : QStringLiteral("Format %1").arg(format.id);
    m_manager.setFormat(m_id, format.selector(ffmpeg), label);
    accept();
}
