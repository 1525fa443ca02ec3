#include "app/records/LineFramer.h"
#include "app/records/WorkerLine.h"

#include <QTest>

namespace {

const QString dash = QStringLiteral("\u2014");

QStringList frame(const QList<QByteArray> &chunks)
{
    LineFramer framer;
    QStringList lines;
    for (const QByteArray &chunk : chunks)
        lines += framer.append(chunk);
    if (const auto last = framer.finish())
        lines.append(*last);
    return lines;
}

DownloadItem downloadingItem()
{
    DownloadItem item(QStringLiteral("https://example.com/v"), QStringLiteral("example.com"), QStringLiteral("/tmp"),
                      QStringLiteral("Best available"), QStringLiteral("None"));
    item.state = DownloadState::downloading;
    item.detail = QStringLiteral("Connecting\u2026");
    return item;
}

} // namespace

class TestProgressProtocol : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parse_data()
    {
        // clang-format off
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<double>("percent");
        QTest::addColumn<QList<qint64>>("numbers"); // done, total, bytes a second, seconds left; -1: not known
        QTest::addColumn<QString>("stream");
        const QList<qint64> none{-1, -1, -1, -1};
        QTest::newRow("padded fields") << "LARK_PROGRESS|  45.3%| 2.10MiB/s | 00:31 |120.00MiB  " << true << 45.3 << none << "";
        QTest::newRow("no-break space trimmed") << "LARK_PROGRESS|\u00a07.5%\u00a0|a|b|c" << true << 7.5 << none << "";
        QTest::newRow("above 100") << "LARK_PROGRESS|150|a|b|c" << true << 100.0 << none << "";
        QTest::newRow("negative") << "LARK_PROGRESS|-3|a|b|c" << true << 0.0 << none << "";
        QTest::newRow("not a number") << "LARK_PROGRESS|abc|a|b|c" << true << 0.0 << none << "";
        QTest::newRow("nan") << "LARK_PROGRESS|nan|a|b|c" << true << 0.0 << none << "";
        QTest::newRow("trailing junk") << "LARK_PROGRESS|12x|a|b|c" << true << 0.0 << none << "";
        QTest::newRow("exponent") << "LARK_PROGRESS|1e1|a|b|c" << true << 0.0 << none << "";
        QTest::newRow("vertical tab is not trimmed") << "LARK_PROGRESS|\u000b5|a|b|c" << true << 0.0 << none << "";
        QTest::newRow("the tool's line") << "LARK_PROGRESS|12.5%|3.25 MiB/s|1:05|100.0 MiB|13107200|104857600|3407872|27"
                                         << true << 12.5 << QList<qint64>{13107200, 104857600, 3407872, 27} << "";
        QTest::newRow("yt-dlp's line, one stream of two") << "LARK_PROGRESS| 50.0%|  1.00MiB/s|00:02|  2.00MiB|1048576|2097152.0|1048576.4|2|137"
                                                          << true << 50.0 << QList<qint64>{1048576, 2097152, 1048576, 2} << "137";
        QTest::newRow("yt-dlp's unknowns") << "LARK_PROGRESS|  5.0%|Unknown|Unknown|NA|5000|NA|NA|NA|NA" << true << 5.0
                                           << QList<qint64>{5000, -1, -1, -1} << "";
        QTest::newRow("a total of nothing") << "LARK_PROGRESS|0%|a|b|c|0|0|0|NA" << true << 0.0 << QList<qint64>{0, -1, 0, -1} << "";
        QTest::newRow("numbers that are not") << "LARK_PROGRESS|5|a|b|c|-1|1e99|inf|0x10" << true << 5.0 << none << "";
        QTest::newRow("beyond any file") << "LARK_PROGRESS|5|a|b|c|99999999999999999999|1|1|1" << true << 5.0 << QList<qint64>{-1, 1, 1, 1} << "";
        QTest::newRow("four fields") << "LARK_PROGRESS|5|a|b" << false << 0.0 << none << "";
        QTest::newRow("other marker") << "LARK_TITLE|5|a|b|c" << false << 0.0 << none << "";
        QTest::newRow("leading space") << " LARK_PROGRESS|5|a|b|c" << false << 0.0 << none << "";
        QTest::newRow("lower case") << "lark_progress|5|a|b|c" << false << 0.0 << none << "";
        // clang-format on
    }
    void parse()
    {
        QFETCH(QString, line);
        QFETCH(bool, parsed);
        const auto progress = parseProgressLine(line);
        QCOMPARE(progress.has_value(), parsed);
        if (!parsed)
            return;
        QFETCH(double, percent);
        QFETCH(QList<qint64>, numbers);
        QFETCH(QString, stream);
        const auto known = [](const auto &value) { return value ? static_cast<qint64>(*value) : -1; };
        QCOMPARE(progress->percent, percent);
        QCOMPARE((QList<qint64>{known(progress->bytesDone), known(progress->bytesTotal),
                                known(progress->bytesPerSecond), known(progress->secondsLeft)}),
                 numbers);
        QCOMPARE(progress->stream, stream);
    }

    void theToolsLineReadsBack()
    {
        // What lark-mega writes is what the application reads.
        QCOMPARE(megaProgressLine(4194304, 10485760, 2097152, 3),
                 QStringLiteral("LARK_PROGRESS|40.0%|2.00 MiB/s|0:03|10.0 MiB|4194304|10485760|2097152|3"));
        QCOMPARE(megaProgressLine(10, 10, 0, std::nullopt),
                 QStringLiteral("LARK_PROGRESS|100.0%|0.00 MiB/s|0:00|0.0 MiB|10|10|0|NA"));
        const auto parsed = parseProgressLine(megaProgressLine(4194304, 10485760, 2097152.5, 3));
        QVERIFY(parsed);
        QCOMPARE(parsed->percent, 40.0);
        QCOMPARE(parsed->bytesDone, 4194304);
        QCOMPARE(parsed->bytesTotal, 10485760);
        QCOMPARE(parsed->bytesPerSecond, 2097152.0);
        QCOMPARE(parsed->secondsLeft, 3);
    }

    void parseIgnoresTheApplicationLocale()
    {
        const QByteArray saved = setlocale(LC_NUMERIC, nullptr);
        if (!setlocale(LC_NUMERIC, "de_DE.UTF-8"))
            setlocale(LC_NUMERIC, "en_US.UTF-8");
        const auto progress = parseProgressLine(u"LARK_PROGRESS|45.5%|a|b|c|1.5|2|2.5|1");
        setlocale(LC_NUMERIC, saved.constData());
        QCOMPARE(progress->percent, 45.5);
        QCOMPARE(progress->bytesPerSecond, 2.5);
    }

    void streamsMakeOneBar_data()
    {
        // clang-format off
        QTest::addColumn<QString>("streams");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QList<double>>("percents");
        QTest::addColumn<qint64>("total");
        QTest::newRow("sizes said up front") << R"(LARK_STREAMS|"137+140"|1000)"
            << QStringList{"0|900|137", "450|900|137", "900|900|137", "0|100|140", "100|100|140"}
            << QList<double>{0, 45, 90, 90, 100} << qint64(1000);
        QTest::newRow("sizes learnt on the way") << R"(LARK_STREAMS|"137+140"|NA)"
            << QStringList{"450|900|137", "900|900|137", "0|100|140", "50|100|140", "100|100|140"}
            << QList<double>{25, 50, 90, 95, 100} << qint64(1000);
        QTest::newRow("one stream") << R"(LARK_STREAMS|"18"|NA)"
            << QStringList{"10|100|18", "100|100|18"} << QList<double>{10, 100} << qint64(100);
        QTest::newRow("a stream it did not announce") << R"(LARK_STREAMS|"137+140"|NA)"
            << QStringList{"10|100|999"} << QList<double>{10} << qint64(100);
        QTest::newRow("an estimate that shrinks") << R"(LARK_STREAMS|"18"|NA)"
            << QStringList{"16|100|18", "16|550|18", "60|550|18", "550|550|18"} << QList<double>{16, 16, 16, 100} << qint64(550);
        // clang-format on
    }
    void streamsMakeOneBar()
    {
        QFETCH(QString, streams);
        QFETCH(QStringList, lines);
        QFETCH(QList<double>, percents);
        QFETCH(qint64, total);
        RunNotes notes;
        notes.take(streams);
        DownloadItem item = downloadingItem();
        QList<double> seen;
        for (const QString &line : lines) {
            const QStringList numbers = line.split('|');
            const double percent = numbers[0].toDouble() / numbers[1].toDouble() * 100;
            QVERIFY(applyWorkerLine(item,
                                    QStringLiteral("LARK_PROGRESS|%1%|a|b|c|%2|%3|10|NA|%4")
                                        .arg(percent)
                                        .arg(numbers[0], numbers[1], numbers[2]),
                                    &notes));
            seen.append(std::round(item.progress));
        }
        QCOMPARE(seen, percents);
        QCOMPARE(item.bytesTotal, total);
    }

    void framing_data()
    {
        // clang-format off
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("CR LF gives an empty line") << QList<QByteArray>{"a\r\nb"} << QStringList{"a", "", "b"};
        QTest::newRow("split over many reads") << QList<QByteArray>{"LARK_", "TIT", "LE|x", "\n"}
                                               << QStringList{"LARK_TITLE|x"};
        QTest::newRow("CR refreshes") << QList<QByteArray>{"10%\r20%\r", "30%\n"}
                                      << QStringList{"10%", "20%", "30%"};
        QTest::newRow("terminator at chunk start") << QList<QByteArray>{"a", "\nb", "\r"} << QStringList{"a", "b"};
        QTest::newRow("unterminated last line") << QList<QByteArray>{"x\ny"} << QStringList{"x", "y"};
        QTest::newRow("no trimming") << QList<QByteArray>{"  a  \n\n"} << QStringList{"  a  ", ""};
        QTest::newRow("empty stream") << QList<QByteArray>{} << QStringList{};
        QTest::newRow("invalid UTF-8") << QList<QByteArray>{"a\xff" "b\n"} << QStringList{"a\ufffdb"};
        QTest::newRow("character split across reads") << QList<QByteArray>{"caf\xc3", "\xa9\n"}
                                                      << QStringList{"caf\u00e9"};
        // clang-format on
    }
    void framing()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QStringList, lines);
        QCOMPARE(frame(chunks), lines);
    }

    void unterminatedLinesAreCapped()
    {
        LineFramer framer;
        const QByteArray block(64 * 1024, 'x');
        for (int i = 0; i < 16; ++i)
            QVERIFY(framer.append(block).isEmpty());
        QCOMPARE(framer.pendingBytes(), LineFramer::maxPendingBytes); // exactly the cap is kept
        QVERIFY(framer.append("y").isEmpty());
        QCOMPARE(framer.pendingBytes(), 0);
        // The rest of the line goes with it: no piece of it is ever a line of its own.
        QVERIFY(framer.append("tail").isEmpty());
        QCOMPARE(framer.append("LARK_FILE|/etc/shadow\nnext"), QStringList());
        QCOMPARE(framer.pendingBytes(), 4);
        QCOMPARE(framer.finish(), QStringLiteral("next"));
        QVERIFY(!framer.finish());
    }

    void byteAtATimeIsLinear()
    {
        // Feeding a long line one byte at a time must not rescan the buffer each time.
        LineFramer framer;
        const QByteArray line(512 * 1024, 'z');
        for (char c : line)
            framer.append(QByteArrayView(&c, 1));
        const QStringList lines = framer.append("\n");
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().size(), line.size());
    }

    void applyingLines_data()
    {
        // clang-format off
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("worker"); // yt-dlp prints titles and paths as JSON strings, lark-mega as they are
        QTest::addColumn<bool>("changed");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::newRow("progress") << "LARK_PROGRESS| 45.3%| 2.10MiB/s | 00:31 | 120.00MiB " << "yt-dlp" << true
                                  << "detail" << "Downloading";
        QTest::newRow("finalizing") << "LARK_PROGRESS|100%|NA|NA|NA" << "yt-dlp" << true << "detail"
                                    << "Finalizing file\u2026";
        QTest::newRow("four fields ignored") << "LARK_PROGRESS|50|a|b" << "yt-dlp" << false << "detail"
                                             << "Connecting\u2026";
        QTest::newRow("title") << "LARK_TITLE|\"My clip\"" << "yt-dlp" << true << "title" << "My clip";
        QTest::newRow("empty title") << "LARK_TITLE|\"\"" << "yt-dlp" << true << "title" << "";
        QTest::newRow("title keeps space") << "LARK_TITLE|\" spaced\"" << "yt-dlp" << true << "title" << " spaced";
        QTest::newRow("escaped title") << R"(LARK_TITLE|"Nice\rLARK_FILE|/etc/passwd \u202ex \u00e9")" << "yt-dlp"
                                       << true << "title" << "Nice LARK_FILE|/etc/passwd x \u00e9";
        QTest::newRow("title not escaped") << "LARK_TITLE|My clip" << "yt-dlp" << false << "title" << "example.com";
        QTest::newRow("title with more after it") << "LARK_TITLE|\"a\" \"b\"" << "yt-dlp" << false << "title"
                                                  << "example.com";
        QTest::newRow("MEGA title as it is") << "LARK_TITLE|\"quoted\"" << "MEGA" << true << "title" << "\"quoted\"";
        QTest::newRow("MEGA title, control characters") << "LARK_TITLE|a\u0007b\u0085c\u2067d" << "MEGA" << true
                                                        << "title" << "ab cd";
        QTest::newRow("file") << "LARK_FILE|\"/tmp/a|b.mp4\"" << "yt-dlp" << true << "file" << "/tmp/a|b.mp4";
        QTest::newRow("MEGA file") << "LARK_FILE|/tmp/sub/a.mp4" << "MEGA" << true << "file" << "/tmp/sub/a.mp4";
        QTest::newRow("file outside the folder") << "LARK_FILE|/etc/shadow" << "MEGA" << false << "file" << "<none>";
        QTest::newRow("file climbing out") << "LARK_FILE|\"/tmp/../etc/passwd\"" << "yt-dlp" << false << "file"
                                           << "<none>";
        QTest::newRow("file beside the folder") << "LARK_FILE|/tmpfile" << "MEGA" << false << "file" << "<none>";
        QTest::newRow("relative file") << "LARK_FILE|a.mp4" << "MEGA" << false << "file" << "<none>";
        QTest::newRow("error") << "ERROR: Unsupported URL" << "yt-dlp" << true << "detail" << "ERROR: Unsupported URL";
        QTest::newRow("merger") << "[Merger] Merging formats" << "yt-dlp" << true << "detail"
                                << "[Merger] Merging formats";
        QTest::newRow("extract") << "[ExtractAudio] Destination: a.mp3" << "yt-dlp" << true << "detail"
                                 << "[ExtractAudio] Destination: a.mp3";
        QTest::newRow("status") << "LARK_STATUS|Decrypting and verifying file\u2026" << "MEGA" << true << "detail"
                                << "Decrypting and verifying file\u2026";
        QTest::newRow("status marker repeated") << "LARK_STATUS|a LARK_STATUS|b" << "MEGA" << true << "detail"
                                                << "a b";
        QTest::newRow("other output") << "[download] Destination: x" << "yt-dlp" << false << "detail"
                                      << "Connecting\u2026";
        // clang-format on
    }
    void applyingLines()
    {
        QFETCH(QString, line);
        QFETCH(QString, worker);
        QFETCH(bool, changed);
        QFETCH(QString, field);
        QFETCH(QString, value);
        DownloadItem item = downloadingItem();
        if (worker == QLatin1String("MEGA"))
            item.url = QStringLiteral("https://mega.nz/file/abcdefgh#k");
        QCOMPARE(applyWorkerLine(item, line), changed);
        const QString actual = field == QLatin1String("title")  ? item.title
                               : field == QLatin1String("file") ? item.file.value_or(QStringLiteral("<none>"))
                                                                : item.detail;
        QCOMPARE(actual, value);
        QCOMPARE(item.state, DownloadState::downloading);
    }

    void anErrorStaysTheDetail()
    {
        // A failed fragment is followed by more progress; the cause must survive it.
        DownloadItem item = downloadingItem();
        const QString error = QStringLiteral("ERROR: fragment 2 not found, unable to continue");
        QVERIFY(applyWorkerLine(item, error));
        QVERIFY(applyWorkerLine(item, QStringLiteral("LARK_PROGRESS|40%|1MiB/s|00:01|2MiB")));
        QVERIFY(!applyWorkerLine(item, QStringLiteral("[Merger] Merging formats")));
        QCOMPARE(item.progress, 40.0);
        QCOMPARE(item.detail, error);
        QVERIFY(applyWorkerLine(item, QStringLiteral("ERROR: a later one")));
        QCOMPARE(item.detail, QStringLiteral("ERROR: a later one"));
    }

    void progressLineSetsEveryField()
    {
        DownloadItem item = downloadingItem();
        QVERIFY(applyWorkerLine(item, QStringLiteral("LARK_PROGRESS|50%|a|b|c|5|10|2000|3")));
        QCOMPARE(item.speedText(), QStringLiteral("2.0 kB/s"));
        QCOMPARE(item.etaText(), QStringLiteral("0:03"));
        QCOMPARE(item.sizeText(), QStringLiteral("10 bytes"));
        QVERIFY(applyWorkerLine(item, QStringLiteral("LARK_PROGRESS|100%|NA|NA|NA")));
        QCOMPARE(item.progress, 100.0);
        QCOMPARE(item.speedText(), dash);
        QCOMPARE(item.etaText(), dash);
        // A line that does not say the size leaves the one known.
        QCOMPARE(item.sizeText(), QStringLiteral("10 bytes"));
    }

    void linesForStoppedItemsAreDropped()
    {
        for (DownloadState state :
             {DownloadState::queued, DownloadState::paused, DownloadState::completed, DownloadState::failed}) {
            DownloadItem item = downloadingItem();
            item.state = state;
            QVERIFY(!applyWorkerLine(item, QStringLiteral("LARK_TITLE|\"late\"")));
            QVERIFY(!applyWorkerLine(item, QStringLiteral("LARK_PROGRESS|50|a|b|c")));
            QCOMPARE(item.title, QStringLiteral("example.com"));
            QCOMPARE(item.progress, 0.0);
        }
    }
};

QTEST_GUILESS_MAIN(TestProgressProtocol)
#include "tst_progressprotocol.moc"
