#include "app/notifications/CompletionBanners.h"

#include "app/manager/FileManager.h"
#include "app/theme/Theme.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <canberra.h>

namespace {

constexpr int bannerWidth = 372;
constexpr int bannerHeight = 114;

// A borderless, always-on-top tool window that never takes the focus.
class Banner : public QWidget {
public:
    Banner(const CompletionNotice &notice, std::function<void()> close) :
        QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus)
    {
        setAttribute(Qt::WA_ShowWithoutActivating);
        setFixedSize(bannerWidth, bannerHeight);
        setWindowTitle(notice.heading);
        auto *row = new QHBoxLayout(this);
        row->setContentsMargins(16, 16, 16, 16);
        row->setSpacing(12);
        row->setAlignment(Qt::AlignTop);
        auto *check = new QLabel;
        check->setPixmap(Theme::pixmap(QStringLiteral("circle-check"), 27, Theme::mint));
        row->addWidget(check, 0, Qt::AlignTop);
        auto *column = new QVBoxLayout;
        column->setSpacing(6);
        auto *heading = new QLabel(QStringLiteral("Lark \u00b7 ") + notice.heading);
        heading->setFont(Theme::font(13, QFont::DemiBold));
        column->addWidget(heading);
        auto *title = new QLabel(notice.text);
        title->setTextFormat(Qt::PlainText);
        title->setFont(Theme::font(12));
        title->setWordWrap(true);
        title->setMaximumHeight(title->fontMetrics().lineSpacing() * 2 + 2);
        column->addWidget(title);
        auto *show = new QPushButton(QStringLiteral("Show in Folder"));
        show->setFont(Theme::font(11));
        show->setFlat(true);
        show->setCursor(Qt::PointingHandCursor);
        show->setStyleSheet(QStringLiteral("QPushButton { color: %1; border: none; padding: 0; text-align: left; }")
                                .arg(Theme::mint.name()));
        connect(show, &QPushButton::clicked, this, [notice, close] {
            revealInFileManager(notice.file, notice.folder, qApp);
            close();
        });
        column->addWidget(show, 0, Qt::AlignLeft);
        column->addStretch();
        row->addLayout(column, 1);
        auto *dismiss = new QToolButton;
        dismiss->setIcon(Theme::icon(QStringLiteral("x"), 12, Theme::white(0.7)));
        dismiss->setAutoRaise(true);
        dismiss->setAccessibleName(QStringLiteral("Dismiss download notification"));
        dismiss->setToolTip(QStringLiteral("Dismiss download notification"));
        connect(dismiss, &QToolButton::clicked, this, [close] { close(); });
        row->addWidget(dismiss, 0, Qt::AlignTop);
        QPalette palette = this->palette();
        palette.setColor(QPalette::WindowText, Qt::white);
        setPalette(palette);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        // An opaque card: without a compositor translucent corners would show black.
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillRect(rect(), Theme::base);
        QPainterPath card;
        card.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 15, 15);
        painter.fillPath(card, Theme::card);
        painter.setPen(QPen(Theme::white(0.08), 1));
        painter.drawPath(card);
    }
};

} // namespace

void playCompletionSound()
{
    static ca_context *context = [] {
        ca_context *created = nullptr;
        return ca_context_create(&created) == CA_SUCCESS ? created : nullptr;
    }();
    // With no audio device this fails; a missing sound is not worth a message.
    if (context)
        ca_context_play(context, 0, CA_PROP_EVENT_ID, "complete", CA_PROP_EVENT_DESCRIPTION, "Download complete",
                        nullptr);
}

CompletionBanners &CompletionBanners::shared()
{
    static CompletionBanners *instance = new CompletionBanners;
    return *instance;
}

QList<QWidget *> CompletionBanners::banners() const
{
    QList<QWidget *> result;
    for (const auto &[id, panel] : m_panels)
        result.append(panel);
    return result;
}

CompletionNotice CompletionNotice::of(const DownloadItem &item)
{
    return {QStringLiteral("Download complete"), item.title, item.file, item.folder};
}

CompletionNotice CompletionNotice::of(const QList<DownloadItem> &items)
{
    if (items.size() == 1)
        return of(items.first());
    // The first titles, then how many more: the folder button opens where the first went.
    QString text = items[0].title + QStringLiteral(", ") + items[1].title;
    if (items.size() > 2)
        text += QStringLiteral(" and %1 more").arg(items.size() - 2);
    return {QStringLiteral("%1 downloads complete").arg(items.size()), text, std::nullopt, items.first().folder};
}

void CompletionBanners::show(const DownloadItem &item)
{
    show(CompletionNotice::of(item));
}

void CompletionBanners::show(const CompletionNotice &notice)
{
    if (m_panels.size() == 3)
        closeBanner(m_panels.first().first);
    const QUuid id = QUuid::createUuid();
    auto *banner = new Banner(notice, [this, id] { closeBanner(id); });
    m_panels.append({id, banner});
    position();
    banner->show();
    banner->raise();
    playCompletionSound();
    QTimer::singleShot(m_lifetimeMs, this, [this, id] { closeBanner(id); });
}

void CompletionBanners::position()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect visible = screen->availableGeometry();
    for (qsizetype i = 0; i < m_panels.size(); ++i) {
        if (QWidget *panel = m_panels[i].second)
            panel->move(visible.right() + 1 - 392, visible.top() + 20 + static_cast<int>(126 * i));
    }
}

void CompletionBanners::closeBanner(const QUuid &id)
{
    for (qsizetype i = 0; i < m_panels.size(); ++i) {
        if (m_panels[i].first != id)
            continue;
        QPointer<QWidget> panel = m_panels.takeAt(i).second;
        if (panel)
            panel->deleteLater();
        if (panel)
            panel->hide();
        position();
        return;
    }
}

void CompletionBanners::closeAll()
{
    for (const auto &[id, panel] : std::as_const(m_panels)) {
        if (panel) {
            panel->hide();
            panel->deleteLater();
        }
    }
    m_panels.clear();
}
