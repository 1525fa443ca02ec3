#include "app/manager/FileManager.h"

#include "app/manager/DBusAnswer.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

namespace {

// Opens a file or folder with the desktop's opener and tells failed when that did not work.
// The opener is never ended by us: it may be the file manager itself, which
// must outlive this program.
// Openers are kept here, never ended by us, and dropped once a later one
// starts after they finished: the program may end while one still runs.
QList<QProcess *> &openers()
{
    static auto *processes = new QList<QProcess *>; // never destroyed: the handles outlive static teardown
    return *processes;
}

void runOpener(const QString &path, const QString &failurePrefix, std::function<void(const QString &)> failed)
{
    openers().removeIf([](QProcess *done) {
        if (done->state() != QProcess::NotRunning)
            return false;
        delete done;
        return true;
    });
    auto *opener = new QProcess;
    openers().append(opener);
    opener->setProgram(QStringLiteral("xdg-open"));
    opener->setArguments({QUrl::fromLocalFile(path).toString()});
    opener->setStandardInputFile(QProcess::nullDevice());
    opener->setStandardOutputFile(QProcess::nullDevice());
    const auto report = [failed](const QString &reason) {
        if (failed)
            failed(reason);
        else
            qWarning("%s", qPrintable(reason));
    };
    QObject::connect(opener, &QProcess::finished, opener,
                     [failurePrefix, report](int code, QProcess::ExitStatus status) {
                         if (status != QProcess::NormalExit || code != 0)
                             report(QStringLiteral("%1xdg-open exited with status %2.").arg(failurePrefix).arg(code));
                     });
    QObject::connect(opener, &QProcess::errorOccurred, opener, [failurePrefix, report](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            report(failurePrefix + QStringLiteral("xdg-open could not be started."));
    });
    opener->start();
}

} // namespace

void openWithDesktop(const QString &file, std::function<void(const QString &)> failed)
{
    runOpener(file, QStringLiteral("Could not open the file: "), std::move(failed));
}

void revealInFileManager(const std::optional<QString> &file, const QString &folder, QObject *context,
                         std::function<void(const QString &)> failed)
{
    if (!file || file->isEmpty() || !QFileInfo::exists(*file)) {
        runOpener(folder, QStringLiteral("Could not open the download folder: "), failed);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(*file).toString()} << QString();
    whenAnswered(
        QDBusConnection::sessionBus().asyncCall(call, 3000), context, [folder, failed](const QDBusPendingCall &answer) {
            if (answer.isError())
                runOpener(folder, QStringLiteral("Could not show the file: no file manager answered and "), failed);
        });
}
