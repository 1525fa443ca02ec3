#pragma once

#include <QObject>
#include <QPointer>
#include <QProcessEnvironment>
#include <QString>

#include <functional>

class HelperRun;

// Installs, or brings up to date, Lark's own yt-dlp: a Python environment in
// Lark's data directory holding yt-dlp from the package index (with the
// pieces it needs to run JavaScript), never touching the system's. A failed
// update leaves the yt-dlp that worked in place.
class YtDlpUpdate : public QObject {
    Q_OBJECT

public:
    // environmentDirectory: where the Python environment is (made when missing).
    YtDlpUpdate(QString python, QString environmentDirectory, QProcessEnvironment environment,
                QObject *parent = nullptr);
    void start();

    // The program of the environment's yt-dlp.
    static QString program(const QString &environmentDirectory);

Q_SIGNALS:
    // What it is doing, in a few words ("Downloading yt-dlp…").
    void progressed(const QString &step);
    // ok with the version now installed, or not with why, in one sentence.
    void finished(bool ok, const QString &versionOrReason);

private:
    void run(const QString &program, const QStringList &arguments, int timeoutMs,
             const std::function<void(HelperRun &)> &next);
    void fail(const QString &reason);

    QString m_python;
    QString m_directory;
    QProcessEnvironment m_environment;
    bool m_fresh = false; // the environment was made by this run
};
