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
        QTest::addColumn<QString>("kind");   // what the manager decides from; empty: not known
        // Lines as yt-dlp and lark-mega print them.
        // clang-format off
        QTest::newRow("bot check") << "ERROR: [youtube] dQw4w9WgXcQ: Sign in to confirm you\u2019re not a bot. Use --cookies-from-browser or --cookies for the authentication. See  https://github.com/yt-dlp/yt-dlp/wiki/FAQ#how-do-i-pass-cookies-to-yt-dlp  for how to manually pass cookies. Also see  https://github.com/yt-dlp/yt-dlp/wiki/Extractors#exporting-youtube-cookies  for tips on effectively exporting YouTube cookies" << "YouTube wants to see a signed-in browser" << "access";
        QTest::newRow("bot check, plain apostrophe") << "ERROR: [youtube] abc: Sign in to confirm you're not a bot." << "YouTube wants to see a signed-in browser" << "access";
        QTest::newRow("private") << "ERROR: [youtube] abc: Private video. Sign in if you've been granted access to this video" << "This video is private or for members only" << "access";
        QTest::newRow("members") << "ERROR: [youtube] abc: Join this channel to get access to members-only content like this video, and other exclusive perks." << "This video is private or for members only" << "access";
        QTest::newRow("removed") << "ERROR: [youtube] abc: Video unavailable. This video has been removed by the uploader" << "This video is no longer available" << "notFound";
        QTest::newRow("terminated") << "ERROR: [youtube] abc: Video unavailable. This video is no longer available because the YouTube account associated with this video has been terminated." << "This video is no longer available" << "notFound";
        QTest::newRow("age") << "ERROR: [youtube] abc: Sign in to confirm your age. This video may be inappropriate for some users." << "This video is age-restricted" << "access";
        QTest::newRow("region") << "ERROR: [youtube] abc: Video unavailable. The uploader has not made this video available in your country" << "This video is not offered in your country" << "access";
        QTest::newRow("geo") << "ERROR: [vimeo] 123: This video is geo restricted" << "This video is not offered in your country" << "access";
        QTest::newRow("403") << "ERROR: unable to download video data: HTTP Error 403: Forbidden" << "The site refused the download (HTTP 403)" << "access";
        QTest::newRow("404 on the page") << "ERROR: [generic] None: Unable to download webpage: HTTP Error 404: Not Found (caused by <HTTPError 404: Not Found>); please report this issue on  https://github.com/yt-dlp/yt-dlp/issues?q= , filling out the appropriate issue template. Confirm you are on the latest version using  yt-dlp -U" << "The site says this page does not exist (HTTP 404)" << "notFound";
        QTest::newRow("webpage") << "ERROR: [generic] Unable to download webpage: <urlopen error [SSL: WRONG_VERSION_NUMBER] wrong version number (_ssl.c:992)>" << "The video page could not be read" << "";
        QTest::newRow("unsupported") << "ERROR: Unsupported URL: https://example.com/" << "This link is not a video page yt-dlp knows" << "input";
        QTest::newRow("format") << "ERROR: [youtube] abc: Requested format is not available. Use --list-formats for a list of available formats" << "The chosen quality is not offered" << "input";
        QTest::newRow("ffmpeg") << "ERROR: You have requested merging of multiple formats but ffmpeg is not installed. Aborting due to --abort-on-error" << "FFmpeg is needed" << "input";
        QTest::newRow("live not started") << "ERROR: [youtube] abc: This live event will begin in 3 hours." << "This live event has not started yet" << "notFound";
        QTest::newRow("premiere") << "ERROR: [youtube] abc: Premieres in 2 days" << "This live event has not started yet" << "notFound";
        QTest::newRow("name resolution") << "ERROR: [generic] Unable to download webpage: <urlopen error [Errno -2] Name or service not known> (caused by TransportError('<urlopen error [Errno -2] Name or service not known>'))" << "The site's name could not be looked up" << "network";
        QTest::newRow("dns failure") << "ERROR: [generic] Unable to download webpage: <urlopen error [Errno -3] Temporary failure in name resolution>" << "The site's name could not be looked up" << "network";
        QTest::newRow("refused") << "ERROR: [generic] Unable to download webpage: <urlopen error [Errno 111] Connection refused> (caused by TransportError('<urlopen error [Errno 111] Connection refused>'))" << "The connection to the site failed" << "network";
        QTest::newRow("timed out") << "ERROR: [generic] Unable to download webpage: The read operation timed out (caused by TransportError('The read operation timed out'))" << "The site took too long to answer" << "network";
        QTest::newRow("quota") << "ERROR: MEGA transfer quota reached. Resume after the quota resets." << "MEGA's transfer quota for your connection is used up" << "quota";
        QTest::newRow("integrity") << "ERROR: MEGA integrity check failed: the file arrived damaged twice, so nothing of it was kept." << "The file from MEGA arrived damaged twice" << "integrity";
        QTest::newRow("mega unreachable") << "ERROR: Could not reach MEGA: Couldn't connect to server" << "MEGA could not be reached" << "network";
        QTest::newRow("429") << "ERROR: [generic] Unable to download webpage: HTTP Error 429: Too Many Requests (caused by <HTTPError 429: Too Many Requests>)" << "The site is limiting how often it answers" << "busy";
        QTest::newRow("503") << "ERROR: unable to download video data: HTTP Error 503: Service Unavailable" << "The site could not answer just then" << "busy";
        QTest::newRow("unknown") << "ERROR: [foo] something nobody has seen before" << "" << "";
        QTest::newRow("the manager's own words") << "Download stopped (2). Check the link, connection, or browser sign-in, then retry." << "" << "";
        // clang-format on
    }
    void recordedLines()
    {
        QFETCH(QString, line);
        QFETCH(QString, starts);
        QFETCH(QString, kind);
        DownloadItem item("https://example.com/v", "Title", "/tmp", "Best available", "None");
        item.state = DownloadState::failed;
        item.detail = line;
        const QString shown = FailureWords::shownDetail(item, QDateTime::currentDateTimeUtc());
        const auto found = FailureWords::kind(line);
        QCOMPARE(found ? failureKindName(*found) : QString(), kind);
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
        QCOMPARE(FailureWords::shownDetail(item, QDateTime::currentDateTimeUtc()), line);
    }

    void waitsCountDown_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("secondsLeft");
        QTest::addColumn<int>("retries");
        QTest::addColumn<QString>("shown");
        // clang-format off
        QTest::newRow("a dropped connection") << "network" << 102 << 2 << "Retrying in 1:42 (attempt 2 of 3)";
        QTest::newRow("a busy server, first") << "busy" << 30 << 1 << "Retrying in 0:30 (attempt 1 of 3)";
        QTest::newRow("due, not yet started") << "busy" << -5 << 3 << "Retrying in 0:00 (attempt 3 of 3)";
        QTest::newRow("the quota") << "quota" << 2 * 3600 + 61 << 0 << "MEGA's transfer quota is used up: the download goes on by itself in 2:01:01.";
        // clang-format on
    }
    void waitsCountDown()
    {
        QFETCH(QString, kind);
        QFETCH(int, secondsLeft);
        QFETCH(int, retries);
        QFETCH(QString, shown);
        const QDateTime now(QDate(2026, 12, 9), QTime(14, 0), Qt::UTC);
        DownloadItem item("https://mega.nz/file/AbCdEfGh#k", "Title", "/tmp", "Best available", "None");
        item.state = DownloadState::failed;
        item.detail = "ERROR: MEGA transfer quota reached. Quota resets at 16:01.";
        item.failureKind = failureKindFromName(kind);
        item.retries = retries;
        item.retryAt = now.addSecs(secondsLeft);
        QCOMPARE(FailureWords::shownDetail(item, now), shown);
        // Without a wait, the failure is told in plain words, its reset time kept.
        item.retryAt.reset();
        QCOMPARE(FailureWords::shownDetail(item, now),
                 "MEGA's transfer quota for your connection is used up: resume this download after it resets. Quota "
                 "resets at 16:01.");
    }
};

QTEST_APPLESS_MAIN(TestFailureWords)
#include "tst_failurewords.moc"
