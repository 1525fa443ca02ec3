// LarkDownloader: one manager, one window; every way of quitting pauses the
// running downloads and writes the history first.
#include "app/manager/ChildProcess.h"
#include "app/manager/WorkerTools.h"
#include "app/theme/Theme.h"
#include "app/ui/LarkApp.h"
#include "app/ui/SingleInstance.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void forwardSignal(int signal)
{
    noteEndingSignal(signal);
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

// SIGTERM from the desktop (logout, shutdown) quits through the event loop.
void quitOnTerminate(QApplication &application)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &application, [&application] {
        char byte;
        [[maybe_unused]] const ssize_t count = ::read(signalPipe[1], &byte, 1);
        application.quit();
    });
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

// "LarkDownloader --tools": where the programs the downloads need were found.
int listTools(int argc, char **argv)
{
    QCoreApplication core(argc, argv);
    const WorkerTools tools(QString(), std::nullopt);
    for (const char *name : {"lark-mega", "yt-dlp", "ffmpeg", "deno"}) {
        const auto found = tools.executable(QString::fromLatin1(name));
        std::printf("%s: %s\n", name, found ? qPrintable(*found) : "not found");
    }
    return 0;
}

// "--help" and "--version" are answered on the terminal, with no window.
std::optional<int> answerOnTheTerminal(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("Usage: LarkDownloader [LINK...]\n"
                        "       LarkDownloader --help | --version | --tools\n"
                        "Lark downloads video pages (through yt-dlp) and MEGA links into a queue that\n"
                        "survives restarts. It opens its window, or brings the open one to the front;\n"
                        "links given are added to the queue as if pasted.\n"
                        "  --help     show this help and exit\n"
                        "  --version  show the version and exit\n"
                        "  --tools    show where lark-mega, yt-dlp, FFmpeg and deno were found, and exit\n");
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("LarkDownloader %s\n", LARK_VERSION);
            return 0;
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--tools") == 0)
        return listTools(argc, argv);
    if (const auto answered = answerOnTheTerminal(argc, argv))
        return *answered;
    // Banners must be placed and kept on top, which Wayland clients cannot do.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    // What is left once Qt took its own options: links.
    QStringList links = QApplication::arguments().mid(1);
    for (const QString &argument : std::as_const(links)) {
        if (argument.startsWith(QLatin1Char('-'))) {
            std::fprintf(stderr, "LarkDownloader: unknown option \"%s\"; see LarkDownloader --help.\n",
                         qPrintable(argument));
            return 2;
        }
    }
    QApplication::setApplicationName(QStringLiteral("Lark Downloader"));
    QApplication::setOrganizationName(QStringLiteral("Lark"));
    QApplication::setDesktopFileName(QStringLiteral("lark-downloader"));
    QApplication::setFont(Theme::font(12));
    Theme::applyToApplication();
    quitOnTerminate(application);

    // A second launch brings the first window forward instead of sharing its history.
    SingleInstance instance(DownloadManager::defaultStorageDirectory());
    if (const auto claim = instance.claim(links); claim != SingleInstance::Claim::taken)
        return claim == SingleInstance::Claim::heldElsewhere ? 0 : 1;
    LarkApp lark;
    instance.publish([&lark](const QStringList &handed) { lark.open(handed); });
    lark.show();
    if (!links.isEmpty())
        lark.open(links);
    return application.exec();
}
