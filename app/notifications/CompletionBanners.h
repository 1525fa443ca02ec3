#pragma once

#include "app/records/DownloadItem.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QUuid>

#include <optional>

#include <utility>

class QWidget;

// What one notice says: a heading, a line of text, and what its button shows.
struct CompletionNotice {
    QString heading; // "Download complete", or "10 downloads complete"
    QString text;    // the title, or the first titles and how many more
    std::optional<QString> file;
    QString folder;

    static CompletionNotice of(const DownloadItem &item);
    // Several completions at once: one notice whose button opens the folder.
    static CompletionNotice of(const QList<DownloadItem> &items);
};

// The application's own completion banners: floating cards in the top right
// corner of the screen, stacked downwards, at most three, each closing itself
// after a while. Main thread only.
class CompletionBanners : public QObject {
    Q_OBJECT

public:
    static CompletionBanners &shared();

    // How long a banner stays; shortened in tests.
    void setLifetime(int milliseconds) { m_lifetimeMs = milliseconds; }

    void show(const DownloadItem &item);
    void show(const CompletionNotice &notice);
    void closeAll();
    void position();
    void closeBanner(const QUuid &id);

    QList<QWidget *> banners() const;

private:
    CompletionBanners() = default;

    QList<std::pair<QUuid, QPointer<QWidget>>> m_panels;
    int m_lifetimeMs = 9000;
};

// Plays the desktop's "complete" event sound, when a player is available.
void playCompletionSound();
