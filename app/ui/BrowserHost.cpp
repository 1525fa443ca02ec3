// lark-browser-host: the native-messaging host of the "Download with Lark"
// browser extension. The browser starts it for each link and writes one
// message on its standard input (a 32-bit length in the machine's order,
// then JSON: {"url": "..."}); it hands the link to the Lark that runs, on the
// session bus or on Lark's local socket, or starts Lark with it, and answers
// {"ok": true} or {"error": "one sentence"} the same way.
#include "app/manager/DownloadManager.h"
#include "app/records/LinkIntake.h"
#include "app/ui/SingleInstance.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The browser sends a link; anything larger is not one.
constexpr std::uint32_t largestMessage = 1 << 20;

std::optional<QByteArray> readMessage()
{
    std::uint32_t length = 0;
    if (std::fread(&length, sizeof length, 1, stdin) != 1 || length > largestMessage)
        return std::nullopt;
    QByteArray message(static_cast<qsizetype>(length), Qt::Uninitialized);
    if (length > 0 && std::fread(message.data(), 1, length, stdin) != length)
        return std::nullopt;
    return message;
}

int answer(const QJsonObject &reply)
{
    const QByteArray json = QJsonDocument(reply).toJson(QJsonDocument::Compact);
    const auto length = static_cast<std::uint32_t>(json.size());
    std::fwrite(&length, sizeof length, 1, stdout);
    std::fwrite(json.constData(), 1, json.size(), stdout);
    std::fflush(stdout);
    return reply.contains(QStringLiteral("error")) ? 1 : 0;
}

int refuse(const QString &sentence)
{
    return answer({{QStringLiteral("error"), sentence}});
}

// Lark beside this program, as installed, or on the search path.
QString application()
{
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("LarkDownloader"));
    return QFileInfo(beside).isExecutable() ? beside : QStandardPaths::findExecutable(QStringLiteral("LarkDownloader"));
}

// Starts Lark in a session of its own, so that it outlives this host and the
// browser, with nothing of the browser's pipes.
bool start(const QString &program, const QStringList &links)
{
    QList<QByteArray> arguments{QFile::encodeName(program)};
    for (const QString &link : links)
        arguments.append(link.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        const int null = ::open("/dev/null", O_RDWR);
        for (int stream = 0; stream < 3; ++stream)
            ::dup2(null, stream);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication core(argc, argv);
    const auto message = readMessage();
    if (!message)
        return refuse(QStringLiteral("The browser's message could not be read."));
    const QJsonObject request = QJsonDocument::fromJson(*message).object();
    const QString url = request.value(QStringLiteral("url")).toString();
    const QStringList links = acceptedURLs(url).urls;
    if (links.isEmpty())
        return refuse(QStringLiteral("Lark downloads http:// and https:// links, and this is not one."));

    QDBusMessage open = QDBusMessage::createMethodCall(SingleInstance::serviceName, SingleInstance::objectPath,
                                                       SingleInstance::serviceName, QStringLiteral("Open"));
    open << links;
    if (QDBusConnection::sessionBus().call(open, QDBus::Block, 3000).type() == QDBusMessage::ReplyMessage)
        return answer({{QStringLiteral("ok"), true}});
    if (SingleInstance::handOver(SingleInstance::socketPath(DownloadManager::defaultStorageDirectory()), links))
        return answer({{QStringLiteral("ok"), true}});
    const QString program = application();
    if (program.isEmpty() || !start(program, links))
        return refuse(QStringLiteral("Lark Downloader is not running and could not be started."));
    return answer({{QStringLiteral("ok"), true}, {QStringLiteral("started"), true}});
}
