#pragma once

#include "app/manager/WorkerTools.h"

#include <QDate>
#include <QObject>
#include <QString>

#include <optional>

class QProcess;

// How a yt-dlp came to be where it is, which decides how it is updated.
enum class YtDlpInstall { debianPackage, pipx, pip, standalone, own, other };

// The release that added --js-runtimes and from which YouTube needs a JavaScript runtime.
QDate ytDlpJsRuntimesRelease();

// The release date a version such as "2025.11.12" stands for.
std::optional<QDate> ytDlpReleaseDate(const QString &version);

// ownDirectory: where Lark keeps a yt-dlp of its own.
YtDlpInstall ytDlpInstallOf(const QString &path, const QString &toolDirectory, const QString &home,
                            const QString &ownDirectory = QString());

// What the user should know about the yt-dlp the application would use, in
// one or two sentences; empty when nothing. path is none when no yt-dlp was
// found; version is what "yt-dlp --version" printed.
QString ytDlpAdvice(const std::optional<QString> &path, const QString &version, YtDlpInstall install, bool denoFound,
                    const QDate &today);

// Asks that yt-dlp for its version once, in the background, and reports the advice.
class YtDlpCheck : public QObject {
    Q_OBJECT

public:
    YtDlpCheck(WorkerTools tools, QObject *parent = nullptr);
    ~YtDlpCheck() override;
    void start();
    // The release of the yt-dlp asked, once it answered.
    std::optional<QDate> release() const { return m_release; }
    // Where the yt-dlp asked came from, once it answered.
    YtDlpInstall install() const { return m_install; }

Q_SIGNALS:
    void finished(const QString &advice);

private:
    void report(const QString &version);

    WorkerTools m_tools;
    QProcess *m_process = nullptr;
    std::optional<QString> m_path;
    std::optional<QDate> m_release;
    YtDlpInstall m_install = YtDlpInstall::other;
};
