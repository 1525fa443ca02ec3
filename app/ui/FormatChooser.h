#pragma once

#include "app/records/VideoFormat.h"

#include <QDialog>
#include <QUuid>

class DownloadManager;
class QLabel;
class QListWidget;
class QPushButton;

// Lists the formats yt-dlp reports for one download's link and lets the
// user pick the one to fetch.
class FormatChooser : public QDialog {
    Q_OBJECT

public:
    FormatChooser(DownloadManager &manager, const QUuid &id, QWidget *parent = nullptr);

    int formatCount() const;
    // Picks the format in this row of the list and closes.
    void choose(int row);

private:
    void listed(const QUuid &id, const QList<VideoFormat> &formats, const QString &error);

    DownloadManager &m_manager;
    QUuid m_id;
    QList<VideoFormat> m_formats;
    QLabel *m_state = nullptr;
    QListWidget *m_list = nullptr;
    QPushButton *m_use = nullptr;
};
