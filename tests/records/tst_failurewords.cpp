#include "app/records/FailureWords.h"
#include "app/records/WorkerLine.h"

#include <QTest>

class TestFailureWords : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void recordedLines_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("starts"); // how the plain sentence starts; empty: the line is shown as it is
        // Lines as yt-dlp and lark-mega print them.
        // clang-format off
        QTest::newRow("bot check") << "ERROR: [youtube] dQw4w9WgXcQ: Sign in to confirm you\u2019re not a bot. Use --cookies-from-browser or --cookies for the authentication. See  https://github.com/yt-dlp/yt-dlp/wiki/FAQ#how-do-i-pass-cookies-to-yt-dlp  for how to manually pass cookies. Also see  https://github.com/yt-dlp/yt-dlp/wiki/Extractors#exporting-youtube-cookies  for tips on effectively exporting YouTube cookies" << "YouTube wants to see a signed-in browser";
        QTest::newRow("bot check, plain apostrophe") << "ERROR: [youtube] abc: Sign in to confirm you're not a bot." << "YouTube wants to see a signed-in browser";
        QTest::newRow("private") << "ERROR: [youtube] abc: Private video. Sign in if you've been granted access to this video" << "This video is private or for members only";
        QTest::newRow("members") << "ERROR: [youtube] abc: Join this channel to get access to members-only content like this video, and other exclusive perks." << "This video is private or for members only";
        QTest::newRow("removed") << "ERROR: [youtube] abc: Video unavailable. This video has been removed by the uploader" << "This video is no longer available";
        QTest::newRow("terminated") << "ERROR: [youtube] abc: Video unavailable. This video is no longer available because the YouTube account associated with this video has been terminated." << "This video is no longer available";
        QTest::newRow("age") << "ERROR: [youtube] abc: Sign in to confirm your age. This video may be inappropriate for some users." << "This video is age-restricted";
        QTest::newRow("region") << "ERROR: [youtube] abc: Video unavailable. The uploader has not made this video available in your country" << "This video is not offered in your country";
        QTest::newRow("geo") << "ERROR: [vimeo] 123: This video is geo restricted" << "This video is not offered in your country";
        QTest::newRow("403") << "ERROR: unable to download video data: HTTP Error 403: Forbidden" << "The site refused the download (HTTP 403)";
        QTest::newRow("404 on the page") << "ERROR: [generic] None: Unable to download webpage: HTTP Error 404: Not Found (caused by <HTTPError 404: Not Found>); please report this issue on  https://github.com/yt-dlp/yt-dlp/issues?q= , filling out the appropriate issue template. Confirm you are on the latest version using  yt-dlp -U" << "The site says this page does not exist (HTTP 404)";
        QTest::newRow("webpage") << "ERROR: [generic] Unable to download webpage: <urlopen error [SSL: WRONG_VERSION_NUMBER] wrong version number (_ssl.c:992)>" << "The video page could not be read";
        QTest::newRow("unsupported") << "ERROR: Unsupported URL: https://example.com/" << "This link is not a video page yt-dlp knows";
        QTest::newRow("format") << "ERROR: [youtube] abc: Requested format is not available. Use --list-formats for a list of available formats" << "The chosen quality is not offered";
        QTest::newRow("ffmpeg") << "ERROR: You have requested merging of multiple formats but ffmpeg is not installed. Aborting due to --abort-on-error" << "FFmpeg is needed";
        QTest::newRow("live not started") << "ERROR: [youtube] abc: This live event will begin in 3 hours." << "This live event has not started yet";
        QTest::newRow("premiere") << "ERROR: [youtube] abc: Premieres in 2 days" << "This live event has not started yet";
        QTest::newRow("name resolution") << "ERROR: [generic] Unable to download webpage: <urlopen error [Errno -2] Name or service not known> (caused by TransportError('<urlopen error [Errno -2] Name or service not known>'))" << "The site's name could not be looked up";
        QTest::newRow("dns failure") << "ERROR: [generic] Unable to download webpage: <urlopen error [Errno -3] Temporary failure in name resolution>" << "The site's name could not be looked up";
        QTest::newRow("refused") << "ERROR: [generic] Unable to download webpage: <urlopen error [Errno 111] Connection refused> (caused by TransportError('<urlopen error [Errno 111] Connection refused>'))" << "The connection to the site failed";
        QTest::newRow("timed out") << "ERROR: [generic] Unable to download webpage: The read operation timed out (caused by TransportError('The read operation timed out'))" << "The site took too long to answer";
        QTest::newRow("quota") << "ERROR: MEGA transfer quota reached. Resume after the quota resets." << "MEGA's transfer quota for your connection is used up";
        QTest::newRow("integrity") << "ERROR: MEGA integrity check failed: the file arrived damaged twice, so nothing of it was kept." << "The file from MEGA arrived damaged twice";
        QTest::newRow("mega unreachable") << "ERROR: Could not reach MEGA: Couldn't connect to server" << "MEGA could not be reached";
        QTest::newRow("unknown") << "ERROR: [foo] something nobody has seen before" << "";
        QTest::newRow("the manager's own words") << "Download stopped (2). Check the link, connection, or browser sign-in, then retry." << "";
        // clang-format on
    }
    void recordedLines()
    {
        QFETCH(QString, line);
        QFETCH(QString, starts);
        DownloadItem item("https://example.com/v", "Title", "/tmp", "Best available", "None");
        item.state = DownloadState::failed;
        item.detail = line;
        const QString shown = FailureWords::shownDetail(item);
        if (starts.isEmpty()) {
            QVERIFY(!FailureWords::explain(line));
            QCOMPARE(shown, line);
        } else {
            QVERIFY2(shown.startsWith(starts), qPrintable(shown));
            QVERIFY(shown.size() < 150); // one short sentence, ending with a full stop
            QVERIFY(shown.endsWith('.'));
        }
        // The raw line stays the item's own, whole.
        QCOMPARE(item.detail, line);
        // Only a failed row speaks in plain words.
        item.state = DownloadState::downloading;
        QCOMPARE(FailureWords::shownDetail(item), line);
    }

    void quotaResetsAtAClockTime_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("now");
        QTest::addColumn<QString>("kept");
        const QString quota = "ERROR: MEGA transfer quota reached. Resume after the quota resets.";
        QTest::newRow("minutes") << quota + " About 42 minutes left."
                                 << "14:00" << quota + " Quota resets at 14:42.";
        QTest::newRow("one minute") << quota + " About 1 minute left."
                                    << "09:59" << quota + " Quota resets at 10:00.";
        QTest::newRow("hours") << quota + " About 3 hours left."
                               << "14:10" << quota + " Quota resets at 17:10.";
        QTest::newRow("past midnight") << quota + " About 42 minutes left."
                                       << "23:50" << quota + " Quota resets at 00:32.";
        QTest::newRow("no time given") << quota << "14:00" << quota;
        QTest::newRow("other lines stay") << "ERROR: About 42 minutes left. of nothing"
                                          << "14:00"
                                          << "ERROR: About 42 minutes left. of nothing";
    }
    void quotaResetsAtAClockTime()
    {
        QFETCH(QString, line);
        QFETCH(QString, now);
        QFETCH(QString, kept);
        const QDateTime at(QDate(2026, 12, 9), QTime::fromString(now, "HH:mm"));
        QCOMPARE(withQuotaResetClock(line, at), kept);
        // The row keeps the clock time after its plain sentence.
        DownloadItem item("https://mega.nz/file/AbCdEfGh#k", "Title", "/tmp", "Best available", "None");
        item.state = DownloadState::failed;
        item.detail = kept;
        const QString shown = FailureWords::shownDetail(item);
        if (kept.contains("Quota resets at")) {
            QVERIFY2(shown.startsWith("MEGA's transfer quota"), qPrintable(shown));
            QVERIFY2(shown.endsWith(". Quota resets at " + kept.right(6)), qPrintable(shown));
        } else {
            QVERIFY(!shown.contains("Quota resets at"));
        }
    }
};

QTEST_APPLESS_MAIN(TestFailureWords)
#include "tst_failurewords.moc"
