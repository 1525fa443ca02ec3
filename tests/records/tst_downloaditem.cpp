#include "app/records/DownloadItem.h"

#include <QJsonDocument>
#include <QTest>

namespace {

DownloadItem sampleItem(const QString &url = QStringLiteral("https://www.youtube.com/watch?v=1"))
{
    return DownloadItem(url, QStringLiteral("youtube.com"), QStringLiteral("/home/u/Downloads/Lark"),
                        QStringLiteral("1080p"), QStringLiteral("None"));
}

QJsonObject itemObject()
{
    return sampleItem().toJson();
}

} // namespace

class TestDownloadItem : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void defaults()
    {
        const QDateTime before = QDateTime::currentDateTimeUtc();
        const DownloadItem item = sampleItem();
        QCOMPARE(item.state, DownloadState::queued);
        QCOMPARE(item.progress, 0.0);
        QCOMPARE(item.speedText(), QStringLiteral("\u2014"));
        QCOMPARE(item.etaText(), QStringLiteral("\u2014"));
        QCOMPARE(item.sizeText(), QStringLiteral("\u2014"));
        QCOMPARE(item.detail, QStringLiteral("Waiting for a download slot"));
        QVERIFY(!item.file);
        QVERIFY(!item.megaNode);
        QVERIFY(!item.id.isNull());
        QVERIFY(item.created >= before && item.created <= QDateTime::currentDateTimeUtc());
        QVERIFY(sampleItem().id != item.id);
        QCOMPARE(item.jobID(), item.id.toString(QUuid::WithoutBraces).toUpper());
        QCOMPARE(item.jobID().size(), 36);
    }

    void states()
    {
        QStringList raw;
        for (DownloadState state : allDownloadStates) {
            raw.append(rawValue(state));
            QCOMPARE(downloadStateFromRaw(rawValue(state)), state);
        }
        QCOMPARE(raw, QStringList({"Queued", "Downloading", "Paused", "Completed", "Failed"}));
        QVERIFY(!downloadStateFromRaw(QStringLiteral("queued")));
        QVERIFY(!downloadStateFromRaw(QStringLiteral("Done")));
    }

    void platform_data()
    {
        // clang-format off
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("label");
        QTest::newRow("youtube") << "https://www.youtube.com/watch?v=x" << "YouTube";
        QTest::newRow("youtube mobile") << "https://m.youtube.com/watch?v=x" << "YouTube";
        QTest::newRow("youtube short link") << "https://youtu.be/x" << "YouTube";
        QTest::newRow("short link subdomain") << "https://www.youtu.be/x" << "youtu.be";
        QTest::newRow("instagram") << "https://www.instagram.com/reel/x" << "Instagram";
        QTest::newRow("tiktok") << "https://vm.tiktok.com/x" << "TikTok";
        QTest::newRow("facebook") << "https://m.facebook.com/watch" << "Facebook";
        QTest::newRow("facebook short") << "https://fb.watch/x" << "Facebook";
        QTest::newRow("mega") << "https://mega.nz/file/x" << "MEGA";
        QTest::newRow("mega legacy upper") << "https://WWW.MEGA.CO.NZ/#F!x" << "MEGA";
        QTest::newRow("look-alike") << "https://notyoutube.com/x" << "notyoutube.com";
        QTest::newRow("domain elsewhere") << "https://youtube.com.evil.example/x" << "youtube.com.evil.example";
        QTest::newRow("other site") << "https://www.Vimeo.com/1" << "vimeo.com";
        QTest::newRow("www inside") << "https://cdn.www.example.org/1" << "cdn.example.org";
        QTest::newRow("not a url") << "just words" << "";
        QTest::newRow("no host") << "mailto:someone" << "";
        QTest::newRow("empty") << "" << "";
        // clang-format on
    }
    void platform()
    {
        QFETCH(QString, url);
        QFETCH(QString, label);
        QCOMPARE(sampleItem(url).platform(), label);
    }

    void jsonRoundTrip()
    {
        DownloadItem item = sampleItem();
        item.state = DownloadState::completed;
        item.progress = 99.5;
        item.bytesPerSecond = 1200000;
        item.bytesDone = 1000;
        item.bytesTotal = 1500000;
        item.failureKind = FailureKind::quota;
        item.retryAt = QDateTime::fromMSecsSinceEpoch(1765000600000, Qt::UTC);
        item.retries = 2;
        item.stoppedByQuit = true;
        item.detail = QStringLiteral("Saved \"here\"\n");
        item.file = QStringLiteral("/home/u/Downloads/Lark/clip.mp4");
        item.created = QDateTime::fromMSecsSinceEpoch(1765000000123, Qt::UTC);
        item.megaNode = MegaNodeDownload{QStringLiteral("AbCdEfGh"),
                                         QStringLiteral("0aB1cD2e"),
                                         QStringLiteral("k"),
                                         QStringLiteral("clip.mp4"),
                                         7,
                                         {}};

        const QJsonObject object = item.toJson();
        QCOMPARE(object.value(QLatin1String("id")).toString(), item.jobID());
        QCOMPARE(object.value(QLatin1String("state")).toString(), QStringLiteral("Completed"));
        QCOMPARE(object.value(QLatin1String("created")).toDouble(), 1765000000.123 - 978307200.0);

        const auto decoded = DownloadItem::fromJson(object);
        QVERIFY(decoded);
        QCOMPARE(decoded->id, item.id);
        QCOMPARE(decoded->url, item.url);
        QCOMPARE(decoded->title, item.title);
        QCOMPARE(decoded->folder, item.folder);
        QCOMPARE(decoded->quality, item.quality);
        QCOMPARE(decoded->browser, item.browser);
        QCOMPARE(decoded->state, item.state);
        QCOMPARE(decoded->progress, item.progress);
        // What the row shows while running is not kept; what the download is, is.
        QCOMPARE(object.value(QLatin1String("speed")).toString(), QStringLiteral("1.2 MB/s"));
        QCOMPARE(object.value(QLatin1String("size")).toString(), QStringLiteral("1.5 MB"));
        QVERIFY(!decoded->bytesPerSecond);
        QCOMPARE(decoded->bytesDone, item.bytesDone);
        QCOMPARE(decoded->bytesTotal, item.bytesTotal);
        QCOMPARE(decoded->failureKind, item.failureKind);
        QCOMPARE(decoded->retryAt, item.retryAt);
        QCOMPARE(decoded->retries, 2);
        QVERIFY(decoded->stoppedByQuit);
        QCOMPARE(decoded->detail, item.detail);
        QCOMPARE(decoded->file, item.file);
        QCOMPARE(decoded->created, item.created);
        QCOMPARE(decoded->megaNode, item.megaNode);
    }

    void sizesOfEarlierHistories_data()
    {
        QTest::addColumn<QString>("size");
        QTest::addColumn<std::optional<qint64>>("bytes");
        QTest::newRow("yt-dlp binary units") << "384.39KiB" << std::optional<qint64>(393615);
        QTest::newRow("the tool's MiB") << "0.4 MiB" << std::optional<qint64>(419430);
        QTest::newRow("decimal units") << "393.6 kB" << std::optional<qint64>(393600);
        QTest::newRow("an estimate") << "~ 1.50GiB" << std::optional<qint64>(1610612736);
        QTest::newRow("no value") << "\u2014" << std::optional<qint64>();
        QTest::newRow("words") << "Unknown" << std::optional<qint64>();
        QTest::newRow("beyond any file") << "9e99 TiB" << std::optional<qint64>();
    }
    void sizesOfEarlierHistories()
    {
        // Histories of earlier versions hold the size only as the worker's text.
        QFETCH(QString, size);
        QFETCH(std::optional<qint64>, bytes);
        QJsonObject object = itemObject();
        object.remove(QLatin1String("bytesTotal"));
        object.insert(QLatin1String("size"), size);
        object.insert(QLatin1String("speed"), QStringLiteral("3.10MiB/s"));
        object.insert(QLatin1String("eta"), QStringLiteral("00:41"));
        const auto decoded = DownloadItem::fromJson(object);
        QVERIFY(decoded);
        QCOMPARE(decoded->bytesTotal, bytes);
    }

    void absentOptionalsWriteNoKeys()
    {
        const QJsonObject object = itemObject();
        QVERIFY(!object.contains(QLatin1String("file")));
        QVERIFY(!object.contains(QLatin1String("megaNode")));
        const auto decoded = DownloadItem::fromJson(object);
        QVERIFY(decoded && !decoded->file && !decoded->megaNode);
    }

    void decoding_data()
    {
        // clang-format off
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value"); // undefined removes the key
        QTest::addColumn<bool>("readable");
        QTest::newRow("null file") << "file" << QJsonValue(QJsonValue::Null) << true;
        QTest::newRow("null node") << "megaNode" << QJsonValue(QJsonValue::Null) << true;
        QTest::newRow("extra key") << "extra" << QJsonValue(1) << true;
        QTest::newRow("lower-case id") << "id" << QJsonValue(QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e"))
                                       << true;
        QTest::newRow("missing url") << "url" << QJsonValue(QJsonValue::Undefined) << false;
        QTest::newRow("missing created") << "created" << QJsonValue(QJsonValue::Undefined) << false;
        QTest::newRow("lower-case state") << "state" << QJsonValue(QStringLiteral("queued")) << false;
        QTest::newRow("unknown state") << "state" << QJsonValue(QStringLiteral("Done")) << false;
        QTest::newRow("not a uuid") << "id" << QJsonValue(QStringLiteral("1234")) << false;
        QTest::newRow("braced uuid") << "id" << QJsonValue(QStringLiteral("{0f8fad5b-d9cb-469f-a165-70867728950e}"))
                                     << false;
        QTest::newRow("progress as text") << "progress" << QJsonValue(QStringLiteral("50")) << false;
        QTest::newRow("file as number") << "file" << QJsonValue(3) << false;
        QTest::newRow("bad node") << "megaNode" << QJsonValue(QJsonObject{{QLatin1String("name"), 1}}) << false;
        QTest::newRow("node as text") << "megaNode" << QJsonValue(QStringLiteral("x")) << false;
        QTest::newRow("created out of range") << "created" << QJsonValue(1e300) << false;
        // clang-format on
    }
    void decoding()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QFETCH(bool, readable);
        QJsonObject object = itemObject();
        if (value.isUndefined())
            object.remove(key);
        else
            object.insert(key, value);
        QCOMPARE(DownloadItem::fromJson(object).has_value(), readable);
    }
};

QTEST_GUILESS_MAIN(TestDownloadItem)
#include "tst_downloaditem.moc"
