#include "app/manager/DownloadManager.h"
#include "app/manager/YtDlpCheck.h"
#include "tests/support/ClipServer.h"
#include "tests/support/Programs.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

bool writeScript(const QString &path, const QByteArray &body)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n" + body) < 0)
        return false;
    file.close();
    return file.setPermissions(file.permissions() | QFile::ExeOwner);
}

} // namespace

class TestYtDlpCheck : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void advice_data()
    {
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("version");
        QTest::addColumn<int>("install");
        QTest::addColumn<bool>("deno");
        QTest::addColumn<QStringList>("says"); // parts the advice holds, in order; none: no advice
        const int debian = int(YtDlpInstall::debianPackage);
        QTest::newRow("none found") << false << "" << int(YtDlpInstall::other) << false
                                    << QStringList{"yt-dlp was not found", "choose Update now",
                                                   "sudo apt install yt-dlp."};
        QTest::newRow("old Debian package") << true << "2023.03.04\n"
                                            << debian << false
                                            << QStringList{"yt-dlp 2023.03.04 is 1376 days old",
                                                           "choose Update now for a current yt-dlp of Lark's own."};
        QTest::newRow("old, Lark's own") << true << "2025.01.15" << int(YtDlpInstall::own) << false
                                         << QStringList{"is 693 days old", "downloads: choose Update now."};
        QTest::newRow("old, from pipx") << true << "2025.01.15" << int(YtDlpInstall::pipx) << false
                                        << QStringList{"is 693 days old", "update it with pipx upgrade yt-dlp."};
        QTest::newRow("old, from pip") << true << "2025.01.15" << int(YtDlpInstall::pip) << false
                                       << QStringList{"python3 -m pip install --upgrade yt-dlp."};
        QTest::newRow("old, standalone") << true << "2025.01.15" << int(YtDlpInstall::standalone) << false
                                         << QStringList{"update it with \"/tools/yt-dlp\" -U."};
        QTest::newRow("90 days is not old") << true << "2026.09.10" << debian << true << QStringList{};
        QTest::newRow("recent, with deno") << true << "2026.11.20" << int(YtDlpInstall::pipx) << true << QStringList{};
        QTest::newRow("recent, nightly, no deno")
            << true << "2026.11.20.232815" << int(YtDlpInstall::pipx) << false
            << QStringList{"yt-dlp 2026.11.20.232815 needs the deno JavaScript runtime"};
        QTest::newRow("old and wants deno")
            << true << "2025.11.12" << int(YtDlpInstall::pipx) << false
            << QStringList{"is 392 days old", "pipx upgrade yt-dlp.", " yt-dlp 2025.11.12 needs the deno"};
        QTest::newRow("before deno was needed")
            << true << "2025.10.22" << int(YtDlpInstall::pipx) << false << QStringList{"is 413 days old"};
        QTest::newRow("no version") << true << "Traceback (most recent call last):" << debian << false
                                    << QStringList{"/tools/yt-dlp did not tell its version", "reinstall yt-dlp."};
    }
    void advice()
    {
        QFETCH(bool, found);
        QFETCH(QString, version);
        QFETCH(int, install);
        QFETCH(bool, deno);
        QFETCH(QStringList, says);
        const QString advice = ytDlpAdvice(found ? std::optional<QString>("/tools/yt-dlp") : std::nullopt, version,
                                           YtDlpInstall(install), deno, QDate(2026, 12, 9));
        if (says.isEmpty()) {
            QVERIFY2(advice.isEmpty(), qPrintable(advice));
            return;
        }
        qsizetype at = 0;
        for (const QString &part : says) {
            const qsizetype found = advice.indexOf(part, at);
            QVERIFY2(found >= 0, qPrintable(advice));
            at = found + part.size();
        }
        if (!says.last().endsWith('.'))
            QVERIFY(advice.endsWith('.'));
        if (QString(QTest::currentDataTag()) == "old and wants deno")
            QCOMPARE(advice.count(". "), 1); // two sentences
        else
            QVERIFY2(!advice.contains(". "), qPrintable(advice)); // one sentence
    }

    void howItWasInstalled()
    {
        QTemporaryDir home;
        const QString tools = home.filePath("tools");
        QVERIFY(QDir(home.path()).mkpath("tools") && QDir(home.path()).mkpath(".local/bin") &&
                QDir(home.path()).mkpath(".local/share/pipx/venvs/yt-dlp/bin"));
        QVERIFY(writeScript(tools + "/yt-dlp", "exit 0\n"));
        QVERIFY(writeScript(home.filePath(".local/share/pipx/venvs/yt-dlp/bin/yt-dlp"), "exit 0\n"));
        QVERIFY(QFile::link(home.filePath(".local/share/pipx/venvs/yt-dlp/bin/yt-dlp"),
                            home.filePath(".local/bin/yt-dlp")));
        QCOMPARE(ytDlpInstallOf(tools + "/yt-dlp", tools, home.path()), YtDlpInstall::standalone);
        QCOMPARE(ytDlpInstallOf(home.filePath(".local/bin/yt-dlp"), tools, home.path()), YtDlpInstall::pipx);
        QVERIFY(QFile::remove(home.filePath(".local/bin/yt-dlp")));
        QVERIFY(writeScript(home.filePath(".local/bin/yt-dlp"), "exit 0\n"));
        QCOMPARE(ytDlpInstallOf(home.filePath(".local/bin/yt-dlp"), tools, home.path()), YtDlpInstall::pip);
        // Debian's own package, which the test machines have installed.
        if (QFile::exists("/var/lib/dpkg/info/yt-dlp.list"))
            QCOMPARE(ytDlpInstallOf("/usr/bin/yt-dlp", tools, home.path()), YtDlpInstall::debianPackage);
    }

    void theManagerAsksOnceInTheBackground()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("tools"));
        // Counts its runs, and takes a while to answer.
        QVERIFY(writeScript(dir.filePath("tools/yt-dlp"),
                            "echo run >> \"$(dirname \"$0\")/runs\"; sleep 0.3; echo 2024.04.09\n"));
        QSettings settings(dir.filePath("settings.ini"), QSettings::IniFormat);
        DownloadManager::Options options;
        options.storageDirectory = dir.filePath("storage");
        options.settings = &settings;
        options.toolDirectory = dir.filePath("tools");
        options.searchDirectories = QStringList{dir.filePath("tools")};
        DownloadManager manager(options);
        manager.checkYtDlp();
        QCOMPARE(manager.notice(), QString()); // nothing waited for it
        manager.checkYtDlp();
        QTRY_VERIFY_WITH_TIMEOUT(!manager.notice().isEmpty(), 120000);
        QVERIFY2(manager.notice().startsWith("yt-dlp 2024.04.09 is "), qPrintable(manager.notice()));
        QVERIFY(manager.notice().contains("-U."));
        QCOMPARE(manager.noticeTone(), DownloadManager::NoticeTone::warning);
        QTest::qWait(500);
        QFile runs(dir.filePath("tools/runs"));
        QVERIFY(runs.open(QIODevice::ReadOnly));
        QCOMPARE(runs.readAll(), QByteArray("run\n"));

        // The next start says nothing of the same release; a different one is said again.
        for (const char *release : {"2024.04.09", "2024.08.06"}) {
            QVERIFY(writeScript(dir.filePath("tools/yt-dlp"), QByteArray("echo ") + release + "\n"));
            DownloadManager next(options);
            next.checkYtDlp();
            if (qstrcmp(release, "2024.04.09") == 0) {
                QTRY_VERIFY_WITH_TIMEOUT(next.ytDlpRelease(), 120000);
                QCOMPARE(next.notice(), QString());
            } else {
                QTRY_VERIFY_WITH_TIMEOUT(next.notice().startsWith("yt-dlp 2024.08.06 is "), 120000);
            }
        }
    }

    // Lark's own yt-dlp, from a package index on this machine: installed, kept
    // when an update fails, and brought up to date by itself once a week.
    void ownYtDlpFromAPackageIndex()
    {
        QTemporaryDir index;
        QVERIFY(programOutput("python3", {QFINDTESTDATA("../support/make-test-wheels.py"), index.path()}));
        ClipServer server;
        const QString base = server.start(index.path(), 0);
        QVERIFY(!base.isEmpty());
        qputenv("PIP_INDEX_URL", (base + "/simple/").toUtf8());
        qputenv("PIP_NO_CACHE_DIR", "1");
        qputenv("PIP_CONFIG_FILE", "/dev/null");
        QTemporaryDir dir;
        QSettings settings(dir.filePath("settings.ini"), QSettings::IniFormat);
        DownloadManager::Options options;
        options.storageDirectory = dir.filePath("storage");
        options.settings = &settings;
        options.toolDirectory = dir.filePath("tools");
        auto manager = std::make_unique<DownloadManager>(options);
        const QString own = manager->ownYtDlpDirectory() + "/bin/yt-dlp";
        manager->updateYtDlp();
        QVERIFY(manager->updatingYtDlp());
        QTRY_VERIFY2_WITH_TIMEOUT(!manager->updatingYtDlp(), qPrintable(manager->notice()), 600000);
        QCOMPARE(manager->notice(), "yt-dlp 2099.01.01 is ready; Lark keeps it up to date.");
        QCOMPARE(manager->executable("yt-dlp"), own);
        QCOMPARE(QFileInfo(manager->ownYtDlpDirectory()).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);
        // The pieces for JavaScript came along.
        QVERIFY(programOutput(manager->ownYtDlpDirectory() + "/bin/python3", {"-c", "import yt_dlp_ejs"}));

        // An update that cannot reach the index leaves the working one in place.
        qputenv("PIP_INDEX_URL", "http://127.0.0.1:1/simple/");
        manager->updateYtDlp();
        QTRY_VERIFY_WITH_TIMEOUT(!manager->updatingYtDlp(), 600000);
        QCOMPARE(manager->notice(),
                 "yt-dlp could not be updated: the package index could not be reached. The yt-dlp in use stays.");
        QCOMPARE(manager->noticeTone(), DownloadManager::NoticeTone::failure);
        QVERIFY(manager->offersYtDlpUpdate());
        manager->dismissNotice(); // the offer goes with its notice
        QVERIFY(!manager->offersYtDlpUpdate());
        QCOMPARE(programOutput(own, {"--version"}).value_or("<failed>"), QByteArray("2099.01.01\n"));

        // An environment whose Python went away with a system upgrade is passed over.
        const QString python = manager->ownYtDlpDirectory() + "/bin/python3";
        const QString moved = manager->ownYtDlpDirectory() + "/bin/python3.moved";
        QVERIFY(QFile::rename(python, moved));
        QVERIFY(manager->executable("yt-dlp") != own);
        QVERIFY(QFile::rename(moved, python));

        // A week later the next start brings it up to date without asking.
        qputenv("PIP_INDEX_URL", (base + "/simple/").toUtf8());
        const QDateTime lastWeek = QDateTime::currentDateTimeUtc().addDays(-8);
        settings.setValue("ytDlpUpdatedAt", lastWeek);
        manager = std::make_unique<DownloadManager>(options);
        manager->checkYtDlp();
        QTRY_VERIFY_WITH_TIMEOUT(manager->updatingYtDlp(), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!manager->updatingYtDlp(), 600000);
        QVERIFY(settings.value("ytDlpUpdatedAt").toDateTime() > lastWeek.addDays(7));
        QCOMPARE(manager->notice(), QString()); // nothing to say
        for (const char *name : {"PIP_INDEX_URL", "PIP_NO_CACHE_DIR", "PIP_CONFIG_FILE"})
            qunsetenv(name);
    }
};

QTEST_GUILESS_MAIN(TestYtDlpCheck)
#include "tst_ytdlpcheck.moc"
