// The history survives being killed at any moment: it is always readable and
// keeps every item it ever held.
#include "app/records/DownloadItem.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class TestCrashSafety : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void killedAtRandomMoments()
    {
        const int rounds = qEnvironmentVariableIntValue("LARK_CRASH_ROUNDS") > 0
                               ? qEnvironmentVariableIntValue("LARK_CRASH_ROUNDS")
                               : 12;
        QTemporaryDir dir;
        QDir(dir.path()).mkpath("tools");
        QFile worker(dir.filePath("tools/yt-dlp"));
        QVERIFY(worker.open(QIODevice::WriteOnly));
        worker.write(
            "#!/bin/sh\ni=0\nwhile [ $i -lt 100000 ]; do echo \"LARK_PROGRESS|$((i % 100)).0%|1MiB/s|00:01|9MiB\";"
            " i=$((i+1)); done\n");
        worker.close();
        worker.setPermissions(worker.permissions() | QFile::ExeOwner);

        QRandomGenerator random(20261209);
        QSet<QString> everWritten;
        for (int round = 0; round < rounds; ++round) {
            QProcess harness;
            harness.setProcessChannelMode(QProcess::ForwardedChannels);
            QStringList arguments{dir.path(), dir.filePath("tools")};
            for (int link = 0; link < 3; ++link)
                arguments.append(QString("https://example.com/v/%1-%2").arg(round).arg(link));
            harness.start(QStringLiteral(LARK_CRASH_HARNESS), arguments);
            QVERIFY(harness.waitForStarted());
            QTest::qWait(150 + static_cast<int>(random.bounded(450)));
            ::kill(static_cast<pid_t>(harness.processId()), SIGKILL);
            QVERIFY(harness.waitForFinished());

            QFile history(dir.filePath("queue.json"));
            if (!history.exists())
                continue; // killed before the first write
            QVERIFY(history.open(QIODevice::ReadOnly));
            const QJsonDocument document = QJsonDocument::fromJson(history.readAll());
            QVERIFY2(document.isArray(), qPrintable(QString("unreadable history after round %1").arg(round)));
            QSet<QString> present;
            for (const QJsonValue &value : document.array()) {
                const auto item = DownloadItem::fromJson(value.toObject());
                QVERIFY(item);
                present.insert(item->url);
            }
            for (const QString &url : std::as_const(everWritten))
                QVERIFY2(present.contains(url), qPrintable("lost " + url));
            everWritten.unite(present);
        }
        QVERIFY(everWritten.size() >= 3);
        qInfo("%d kills survived, %lld items kept", rounds, static_cast<long long>(everWritten.size()));
    }
};

QTEST_GUILESS_MAIN(TestCrashSafety)
#include "tst_crashsafety.moc"
