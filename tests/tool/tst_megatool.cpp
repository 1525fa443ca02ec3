#include "model/MegaFolderListing.h"
#include "model/MegaNodeDownload.h"
#include "model/WorkerProtocol.h"
#include "tests/support/MegaEmulator.h"
#include "tool/FileSystem.h"
#include "tool/HttpClient.h"
#include "tool/MegaApi.h"
#include "tool/MegaCrypto.h"
#include "tool/MegaLink.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <QUuid>
#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>

namespace {

const QString statusLine = QStringLiteral("LARK_STATUS|Decrypting and verifying file\u2026");

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(static_cast<quint32>(size));
    for (char &b : bytes)
        b = static_cast<char>(generator.generate());
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QString newJob()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

bool ownerOnly(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 && (status.st_mode & 0777) == 0600;
}

// The partial data and the MAC state beside it that a stopped job leaves.
QStringList jobFiles(const QString &job)
{
    return {".lark-" + job + ".mega.part", ".lark-" + job + ".mega.state"};
}

QStringList workingFiles(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral(".lark-*")}, QDir::Files | QDir::Hidden);
}

QJsonObject node(const char *id, const char *type, const QString &name, const char *parent = nullptr)
{
    QJsonObject object{{"id", id}, {"type", type}, {"name", name}};
    if (parent)
        object.insert("parent", parent);
    return object;
}

} // namespace

class TestMegaTool : public QObject {
    Q_OBJECT

private:
    MegaEmulator m_emulator;
    QTemporaryDir m_sources;

    QString source(const char *name, const QByteArray &bytes)
    {
        const QString path = m_sources.filePath(QString::fromUtf8(name));
        if (!QFileInfo::exists(path))
            writeFile(path, bytes);
        return path;
    }

    // The ranges asked for, in the order of where they start: over several
    // connections they may reach the server in any order.
    QStringList rangesByStart(qsizetype from = 0)
    {
        QStringList paths = rangePaths(from);
        std::sort(paths.begin(), paths.end(), [](const QString &a, const QString &b) {
            return a.section('-', 0, 0).toLongLong() < b.section('-', 0, 0).toLongLong();
        });
        return paths;
    }

    // The requests for any part of the range from first to last: a range asked
    // again after a failure is asked from where its data broke off.
    QStringList asksWithin(qint64 first, qint64 last)
    {
        QStringList asks;
        for (const QString &path : rangePaths()) {
            const qint64 start = path.section('-', 0, 0).toLongLong();
            if (start >= first && start <= last && path.section('-', 1).toLongLong() == last)
                asks.append(path);
        }
        return asks;
    }

    QStringList rangePaths(qsizetype from = 0)
    {
        QStringList paths;
        const QJsonArray log = m_emulator.requestLog();
        for (qsizetype i = from; i < log.size(); ++i) {
            const QString path = log[i].toObject().value("path").toString();
            if (path.startsWith("/dl/"))
                paths.append(path.section('/', 3));
        }
        return paths;
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString error = m_emulator.start();
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void init() { m_emulator.reset(); }

    void usage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("line");
        const QString usage = "ERROR: Usage: lark-mega URL FOLDER JOB_ID";
        // clang-format off
        QTest::newRow("none") << QStringList{} << usage;
        QTest::newRow("self-test with more") << QStringList{"--self-test", "x"} << usage;
        QTest::newRow("list-folder alone") << QStringList{"--list-folder"} << usage;
        QTest::newRow("one other") << QStringList{"https://mega.nz/file/x"} << usage;
        QTest::newRow("two, not list") << QStringList{"--folder-file", "/tmp"} << usage;
        QTest::newRow("four") << QStringList{"a", "b", "c", "d"} << usage;
        QTest::newRow("three with self-test") << QStringList{"--self-test", "/tmp", "JOB"} << "ERROR: Invalid MEGA link.";
        // clang-format on
    }
    void usage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, line);
        const ToolRun run = runTool(arguments);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.lines(), QStringList({"LARK_FAILURE|input", line}));
    }

    void helpListsEveryMode()
    {
        const ToolRun run = runTool({"--help"});
        QCOMPARE(run.exitCode, 0);
        for (const char *mode : {"lark-mega URL FOLDER JOB_ID", "lark-mega --folder-file FOLDER JOB_ID",
                                 "lark-mega --folder-files", "lark-mega --list-folder URL", "lark-mega --self-test"})
            QVERIFY2(run.output.contains(mode), mode);
    }

    void apiAddressesThatAreNotHttpsAreRefused_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("plain http") << "http://127.0.0.1:1";
        QTest::newRow("another scheme") << "ftp://127.0.0.1";
        QTest::newRow("no host") << "https://";
        QTest::newRow("not an address") << "mega mirror";
    }
    void apiAddressesThatAreNotHttpsAreRefused()
    {
        // Never MEGA's own service instead of the one asked for.
        QFETCH(QString, address);
        qputenv("LARK_MEGA_API_URL", address.toUtf8());
        QTemporaryDir folder;
        const ToolRun run = runTool(
            {"https://mega.nz/file/AbCdEfGh#EBAQEBAQEBAvOphYgNCT8hAREhMUFRYXJzOSU4zdnf0", folder.path(), newJob()});
        qputenv("LARK_MEGA_API_URL", m_emulator.apiUrl().toUtf8());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.lines(), QStringList({"LARK_FAILURE|input", "ERROR: LARK_MEGA_API_URL must be an https:// "
                                                                 "address with a host, not \"" +
                                                                     address + "\"."}));
    }

    void aMissingFolderIsCreated()
    {
        const QByteArray original = randomBytes(43);
        const QJsonObject file = m_emulator.addFile(source("43", original), "a.bin");
        QTemporaryDir parent;
        const QString folder = parent.filePath("not/there/yet");
        const ToolRun run = runTool({file["link"].toString(), folder, newJob()});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(readFile(folder + "/a.bin"), original);
    }

    void selfTest()
    {
        const ToolRun run = runTool({"--self-test"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.output,
                 QByteArray("PASS: AES known-answer, decryption, MEGA file key parsing, folder rejection\n"));
    }

    void downloadsFileLinks_data()
    {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<bool>("legacy");
        QTest::addColumn<bool>("onInput"); // the link comes on standard input, as the application gives it
        QTest::addColumn<QStringList>("ranges");
        // clang-format off
        QTest::newRow("empty") << qsizetype(0) << false << false << QStringList{};
        QTest::newRow("small, legacy link") << qsizetype(43) << true << false << QStringList{"0-42"};
        QTest::newRow("link on standard input") << qsizetype(43) << false << true << QStringList{"0-42"};
        QTest::newRow("one whole range") << qsizetype(4194304) << false << false << QStringList{"0-4194303"};
        QTest::newRow("one byte more") << qsizetype(4194305) << false << true << QStringList{"0-4194303", "4194304-4194304"};
        // clang-format on
    }
    void downloadsFileLinks()
    {
        QFETCH(qsizetype, size);
        QFETCH(bool, legacy);
        QFETCH(bool, onInput);
        QFETCH(QStringList, ranges);
        const QByteArray original = randomBytes(size);
        const QJsonObject file =
            m_emulator.addFile(source(QByteArray::number(size).constData(), original), "Clip \u00e9.mp4");
        const QString link = legacy ? "https://mega.nz/#!" + file["handle"].toString() + "!" + file["key"].toString()
                                    : file["link"].toString();
        QTemporaryDir folder;
        const ToolRun run = onInput ? runTool({"-", folder.path(), newJob()}, link.toUtf8() + "\n")
                                    : runTool({link, folder.path(), newJob()});
        QCOMPARE(run.exitCode, 0);
        const QStringList lines = run.lines();
        const QString target = folder.filePath("Clip \u00e9.mp4");
        QCOMPARE(lines.first(), "LARK_TITLE|Clip \u00e9.mp4");
        // Progress from the start, and to the last byte.
        QVERIFY(lines.size() >= 4);
        for (qsizetype i = 1; i < lines.size() - 2; ++i)
            QVERIFY2(lines[i].startsWith("LARK_PROGRESS|"), qPrintable(lines[i]));
        QVERIFY2(lines[lines.size() - 3].startsWith("LARK_PROGRESS|100.0%|"), qPrintable(lines[lines.size() - 3]));
        QCOMPARE(lines[lines.size() - 2], statusLine);
        QCOMPARE(lines.last(), "LARK_FILE|" + target);
        QCOMPARE(readFile(target), original);
        QVERIFY(ownerOnly(target));
        QCOMPARE(workingFiles(folder.path()), QStringList());
        QCOMPARE(rangesByStart(), ranges);
    }

    void progressLineFormat()
    {
        const QJsonObject file = m_emulator.addFile(source("9mib", randomBytes(9 * 1048576)), "nine.bin");
        QTemporaryDir folder;
        const ToolRun run = runTool({file["link"].toString(), folder.path(), newJob()});
        QCOMPARE(run.exitCode, 0);
        // The texts for readers that know only them, then the numbers.
        const QRegularExpression format(
            R"(^LARK_PROGRESS\|(\d+\.\d)%\|\d+\.\d\d MiB/s\|\d+:\d\d\|9\.0 MiB\|(\d+)\|9437184\|\d+\|(\d+|NA)$)");
        QStringList percents;
        for (const QString &line : run.lines()) {
            if (line.startsWith("LARK_PROGRESS|")) {
                const auto match = format.match(line);
                QVERIFY2(match.hasMatch(), qPrintable(line));
                percents.append(match.captured(1));
                QCOMPARE(parseProgressLine(line)->bytesDone, match.captured(2).toLongLong());
            }
        }
        QCOMPARE(percents.first(), "0.0");
        QCOMPARE(percents.last(), "100.0");
        QVERIFY(std::is_sorted(percents.cbegin(), percents.cend(),
                               [](const QString &a, const QString &b) { return a.toDouble() < b.toDouble(); }));
    }

    void apiRequests()
    {
        const QJsonObject file = m_emulator.addFile(source("43", randomBytes(43)), "a.bin");
        QTemporaryDir folder;
        QCOMPARE(runTool({file["link"].toString(), folder.path(), newJob()}).exitCode, 0);
        QCOMPARE(runTool({file["link"].toString(), folder.path(), newJob()}).exitCode, 0);
        QStringList numbers;
        for (const QJsonValue &entry : m_emulator.requestLog()) {
            const QJsonObject request = entry.toObject();
            if (request["path"] != "/cs")
                continue;
            QCOMPARE(request["method"].toString(), "POST");
            QVERIFY(!request["query"].toObject().contains("n"));
            const QJsonArray body = QJsonDocument::fromJson(request["body"].toString().toUtf8()).array();
            QCOMPARE(body.size(), 1);
            QCOMPARE(body[0].toObject(), QJsonObject({{"a", "g"}, {"g", 1}, {"ssl", 2}, {"p", file["handle"]}}));
            numbers.append(request["query"].toObject()["id"].toString());
        }
        QCOMPARE(numbers.size(), 2);
        for (const QString &number : numbers)
            QVERIFY2(QRegularExpression("^[1-9]\\d{5}$").match(number).hasMatch(), qPrintable(number));
    }

    void invalidShareSendsNothing()
    {
        HttpClient client(std::chrono::seconds(10));
        const auto result = megaAPI(client, {{"a", "f"}}, QStringLiteral("bad/handle"));
        QVERIFY(!result);
        QCOMPARE(result.error().message, QStringLiteral("Invalid shared folder identifier."));
        QCOMPARE(m_emulator.requestLog().size(), 0);
    }

    void apiFailures_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("asked"); // API requests before the run gave up
        // clang-format off
        QTest::newRow("-3") << QJsonObject{{"code", -3}} << "MEGA is temporarily busy. Please retry shortly." << "busy" << 8;
        QTest::newRow("-4") << QJsonObject{{"code", -4}} << "MEGA is temporarily busy. Please retry shortly." << "busy" << 8;
        QTest::newRow("-9") << QJsonObject{{"code", -9}} << "The MEGA link was removed or is no longer available." << "notFound" << 1;
        QTest::newRow("-11") << QJsonObject{{"code", -11}} << "MEGA denied access to this link. It may be disabled or private." << "access" << 1;
        QTest::newRow("-17") << QJsonObject{{"code", -17}} << "MEGA transfer quota reached. Please retry later." << "quota" << 1;
        QTest::newRow("0") << QJsonObject{{"code", 0}} << "MEGA rejected the request (0). Check the full link and try again." << "input" << 1;
        QTest::newRow("HTTP 500") << QJsonObject{{"status", 500}} << "MEGA is unavailable. Check your connection and try again." << "busy" << 8;
        QTest::newRow("HTTP 206") << QJsonObject{{"status", 206}} << "MEGA is unavailable. Check your connection and try again." << "input" << 1;
        QTest::newRow("empty array") << QJsonObject{{"body", "[]"}} << "Invalid response from MEGA." << "input" << 1;
        QTest::newRow("object") << QJsonObject{{"body", "{\"a\":1}"}} << "Invalid response from MEGA." << "input" << 1;
        QTest::newRow("string") << QJsonObject{{"body", "[\"x\"]"}} << "Invalid MEGA response." << "input" << 1;
        QTest::newRow("fraction") << QJsonObject{{"body", "[1.5]"}} << "Invalid MEGA response." << "input" << 1;
        QTest::newRow("no download info") << QJsonObject{{"body", "[{},{\"g\":\"https://x/\",\"s\":1}]"}} << "MEGA did not return a downloadable file." << "input" << 1;
        QTest::newRow("size as text") << QJsonObject{{"body", "[{\"g\":\"https://127.0.0.1/x\",\"s\":\"1\"}]"}} << "MEGA did not return a downloadable file." << "input" << 1;
        QTest::newRow("negative size") << QJsonObject{{"body", "[{\"g\":\"https://127.0.0.1/x\",\"s\":-1}]"}} << "MEGA did not return a downloadable file." << "input" << 1;
        QTest::newRow("no host") << QJsonObject{{"body", "[{\"g\":\"dl/x\",\"s\":1}]"}} << "Invalid MEGA download URL." << "input" << 1;
        QTest::newRow("no attributes") << QJsonObject{{"body", "[{\"g\":\"https://127.0.0.1/x\",\"s\":1}]"}} << "MEGA did not return file attributes." << "input" << 1;
        QTest::newRow("wrong attributes key") << QJsonObject{{"body", "[{\"g\":\"https://127.0.0.1/x\",\"s\":1,\"at\":\"8V13N24uBPffUj8GimTd8OYeH9MI3vKDPXg1waHXTD0\"}]"}} << "The MEGA decryption key is incorrect." << "input" << 1;
        QTest::newRow("not JSON") << QJsonObject{{"body", "<html>"}} << "The data is not valid JSON (illegal value at offset 1)." << "input" << 1;
        QTest::newRow("HTTP 503") << QJsonObject{{"status", 503}} << "MEGA is unavailable. Check your connection and try again." << "busy" << 8;
        QTest::newRow("an answer that never ends") << QJsonObject{{"endless", true}} << "MEGA's answer was larger than 1.0 MB, more than any folder needs, so it was not read." << "input" << 1;
        // clang-format on
    }
    void apiFailures()
    {
        QFETCH(QJsonObject, fault);
        QFETCH(QString, message);
        QFETCH(QString, kind);
        QFETCH(int, asked);
        const QJsonObject file = m_emulator.addFile(source("43", randomBytes(43)), "a.bin");
        m_emulator.setFaults({{"api", fault}});
        QTemporaryDir folder;
        // The real limit leaves room for a million-node listing; a small one keeps the test short.
        qputenv("LARK_MEGA_MAX_ANSWER_BYTES", "1000000");
        const ToolRun run = runTool({file["link"].toString(), folder.path(), newJob()});
        qunsetenv("LARK_MEGA_MAX_ANSWER_BYTES");
        QCOMPARE(run.exitCode, 1);
        // The kind comes first, on a line of its own; the sentence stays the last line.
        QCOMPARE(run.lines(), QStringList({"LARK_FAILURE|" + kind, "ERROR: " + message}));
        QCOMPARE(m_emulator.requestLog().size(), asked);
    }

    void busyAnswersPassAfterATry_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::newRow("-3 twice") << QJsonObject{{"code", -3}, {"count", 2}};
        QTest::newRow("500 once") << QJsonObject{{"status", 500}, {"count", 1}};
        QTest::newRow("a dropped answer") << QJsonObject{{"drop", true}, {"count", 1}};
    }
    void busyAnswersPassAfterATry()
    {
        QFETCH(QJsonObject, fault);
        const QByteArray original = randomBytes(43);
        const QJsonObject file = m_emulator.addFile(source("43", original), "a.bin");
        m_emulator.setFaults({{"api", fault}});
        QTemporaryDir folder;
        const ToolRun run = runTool({file["link"].toString(), folder.path(), newJob()});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(readFile(folder.filePath("a.bin")), original);
    }

    void transportFailure()
    {
        qputenv("LARK_MEGA_API_URL", "https://127.0.0.1:1");
        QTemporaryDir folder;
        const ToolRun run = runTool(
            {"https://mega.nz/file/AbCdEfGh#EBAQEBAQEBAvOphYgNCT8hAREhMUFRYXJzOSU4zdnf0", folder.path(), newJob()});
        qputenv("LARK_MEGA_API_URL", m_emulator.apiUrl().toUtf8());
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.lines().size(), 2);
        QCOMPARE(run.lines().first(), "LARK_FAILURE|network");
        QVERIFY2(run.lines().last().startsWith("ERROR: Could not reach MEGA: "), run.output.constData());
    }

    void rangeFailuresKeepThePartialFile_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("kind");
        // clang-format off
        QTest::newRow("509") << QJsonObject{{"status", 509}} << "MEGA transfer quota reached. Resume after the quota resets." << "quota";
        QTest::newRow("509 with the time left") << QJsonObject{{"status", 509}, {"timeLeft", 2501}} << "MEGA transfer quota reached. Resume after the quota resets. About 42 minutes left." << "quota";
        QTest::newRow("509, seconds left") << QJsonObject{{"status", 509}, {"timeLeft", 5}} << "MEGA transfer quota reached. Resume after the quota resets. About 1 minute left." << "quota";
        QTest::newRow("509, hours left") << QJsonObject{{"status", 509}, {"timeLeft", 9000}} << "MEGA transfer quota reached. Resume after the quota resets. About 3 hours left." << "quota";
        QTest::newRow("509, a time left that is no number") << QJsonObject{{"status", 509}, {"timeLeft", "soon"}} << "MEGA transfer quota reached. Resume after the quota resets." << "quota";
        QTest::newRow("509, three days left") << QJsonObject{{"status", 509}, {"timeLeft", 259200}} << "MEGA transfer quota reached. Resume after the quota resets. About 72 hours left." << "quota";
        QTest::newRow("509, a time left nobody waits out") << QJsonObject{{"status", 509}, {"timeLeft", "9223372036854775807"}} << "MEGA transfer quota reached. Resume after the quota resets." << "quota";
        QTest::newRow("509, a time left with an exponent") << QJsonObject{{"status", 509}, {"timeLeft", "1e9"}} << "MEGA transfer quota reached. Resume after the quota resets." << "quota";
        QTest::newRow("500") << QJsonObject{{"status", 500}} << "MEGA transfer failed (HTTP 500). Resume to retry." << "busy";
        QTest::newRow("short") << QJsonObject{{"short", true}} << "Incomplete MEGA chunk. Resume to retry." << "network";
        QTest::newRow("long") << QJsonObject{{"long", true}} << "Incomplete MEGA chunk. Resume to retry." << "network";
        QTest::newRow("206 short") << QJsonObject{{"short", true}, {"partialStatus", 206}} << "Incomplete MEGA chunk. Resume to retry." << "network";
        QTest::newRow("dropped") << QJsonObject{{"drop", true}} << "" << "network";
        QTest::newRow("429") << QJsonObject{{"status", 429}} << "MEGA transfer failed (HTTP 429). Resume to retry." << "busy";
        QTest::newRow("404") << QJsonObject{{"status", 404}} << "MEGA transfer failed (HTTP 404). Resume to retry." << "notFound";
        // clang-format on
    }
    void rangeFailuresKeepThePartialFile()
    {
        QFETCH(QJsonObject, fault);
        QFETCH(QString, message);
        QFETCH(QString, kind);
        const QByteArray original = randomBytes(4194305);
        const QJsonObject file = m_emulator.addFile(source("4194305", original), "two ranges.bin");
        fault.insert("first", 4194304); // the first range arrives, the second fails
        m_emulator.setFaults({{"range", fault}});
        QTemporaryDir folder;
        const QString job = newJob();
        const ToolRun failed = runTool({file["link"].toString(), folder.path(), job});
        QCOMPARE(failed.exitCode, 1);
        if (message.isEmpty())
            QVERIFY2(failed.lines().last().startsWith("ERROR: Could not reach MEGA: "), failed.output.constData());
        else
            QCOMPARE(failed.lines().last(), "ERROR: " + message);
        // A quota or a missing file is not asked again; what may pass is, on a fresh connection, until the tries are
        // spent.
        const QString kindLine = failed.lines().at(failed.lines().size() - 2);
        QVERIFY2(kindLine.startsWith("LARK_FAILURE|" + kind), qPrintable(kindLine));
        const bool passing = kind == "busy" || kind == "network";
        QCOMPARE(rangePaths().filter(QRegularExpression("^4194304-")).size(), passing ? 8 : 1);
        if (fault.contains("timeLeft") && message.contains("About"))
            QCOMPARE(kindLine, "LARK_FAILURE|quota|" + QString::number(fault["timeLeft"].toInteger()));
        const QString partial = folder.filePath(".lark-" + job + ".mega.part");
        QCOMPARE(QFileInfo(partial).size(), 4194304);
        QVERIFY(ownerOnly(partial));
        QCOMPARE(workingFiles(folder.path()), jobFiles(job));

        m_emulator.setFaults({{"range", QJsonObject{{"count", 0}}}});
        const qsizetype logSize = m_emulator.requestLog().size();
        const ToolRun resumed = runTool({file["link"].toString(), folder.path(), job});
        QCOMPARE(resumed.exitCode, 0);
        QCOMPARE(rangePaths(logSize), QStringList{"4194304-4194304"});
        QCOMPARE(readFile(folder.filePath("two ranges.bin")), original);
        QCOMPARE(workingFiles(folder.path()), QStringList());
    }

    void rangeFailuresThatPassAreAskedAgain_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<int>("asked"); // times the faulty range was asked for
        // clang-format off
        QTest::newRow("dropped once") << QJsonObject{{"drop", true}, {"count", 1}} << 2;
        QTest::newRow("500 three times") << QJsonObject{{"status", 500}, {"count", 3}} << 4;
        QTest::newRow("503 once") << QJsonObject{{"status", 503}, {"count", 1}} << 2;
        QTest::newRow("429 once") << QJsonObject{{"status", 429}, {"count", 1}} << 2;
        QTest::newRow("short once") << QJsonObject{{"short", true}, {"count", 1}} << 2;
        QTest::newRow("long once") << QJsonObject{{"long", true}, {"count", 1}} << 2;
        QTest::newRow("seven times, the last try") << QJsonObject{{"status", 500}, {"count", 7}} << 8;
        // clang-format on
    }
    void rangeFailuresThatPassAreAskedAgain()
    {
        QFETCH(QJsonObject, fault);
        QFETCH(int, asked);
        const QByteArray original = randomBytes(3 * 4194304 + 11);
        const QJsonObject file = m_emulator.addFile(source("retried", original), "retried.bin");
        fault.insert("first", 4194304);
        m_emulator.setFaults({{"range", fault}});
        QTemporaryDir folder;
        // A free connection may take over the tail of the faulty range, and how often it is then asked for depends
        // on timing; under a rate limit (this one far above the emulator's speed) nothing is taken over.
        qputenv("LARK_MEGA_RATE_LIMIT", "1099511627776");
        const ToolRun run = runTool({file["link"].toString(), folder.path(), newJob()});
        qunsetenv("LARK_MEGA_RATE_LIMIT");
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(readFile(folder.filePath("retried.bin")), original);
        const QStringList asks = asksWithin(4194304, 8388607);
        QCOMPARE(asks.size(), asked);
        // What arrived before a break is not asked for again.
        if (fault.contains("short"))
            QCOMPARE(asks.last(), "8388607-8388607");
        QCOMPARE(workingFiles(folder.path()), QStringList());
    }

    void completeAnswersWithStatus206()
    {
        // Storage servers may answer a range request with 206 Partial Content and the whole range.
        const QByteArray original = randomBytes(4194304 + 9000);
        const QJsonObject file = m_emulator.addFile(source("206", original), "partial content.bin");
        m_emulator.setFaults({{"range", QJsonObject{{"partialStatus", 206}}}});
        QTemporaryDir folder;
        const ToolRun run = runTool({file["link"].toString(), folder.path(), newJob()});
        m_emulator.setFaults({{"range", QJsonObject{{"count", 0}}}});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(readFile(folder.filePath("partial content.bin")), original);
    }

    void rangesThatArriveOutOfOrderAreWrittenInOrder()
    {
        const QByteArray original = randomBytes(3 * 4194304 + 77);
        const QJsonObject file = m_emulator.addFile(source("order", original), "out of order.bin");
        // The first range comes last, well after the three others.
        m_emulator.setFaults({{"range", QJsonObject{{"first", 0}, {"count", 1}, {"delayMs", 1500}}}});
        QTemporaryDir folder;
        const ToolRun run = runTool({file["link"].toString(), folder.path(), newJob()});
        m_emulator.setFaults({{"range", QJsonObject{{"count", 0}}}});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(readFile(folder.filePath("out of order.bin")), original);
        // Progress still counts up range by range.
        QList<double> percents;
        for (const QString &line : run.lines()) {
            if (line.startsWith("LARK_PROGRESS|"))
                percents.append(line.section('|', 1, 1).chopped(1).toDouble());
        }
        QVERIFY(percents.size() >= 2);
        QVERIFY(std::is_sorted(percents.cbegin(), percents.cend()) && percents.first() < percents.last());
        QCOMPARE(percents.last(), 100.0);
    }

    void oneFailedConnectionKeepsWhatCameInOrder_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("404") << 404 << "MEGA transfer failed (HTTP 404). Resume to retry.";
        QTest::newRow("509, the quota") << 509 << "MEGA transfer quota reached. Resume after the quota resets.";
    }
    void oneFailedConnectionKeepsWhatCameInOrder()
    {
        QFETCH(int, status);
        QFETCH(QString, message);
        const QByteArray original = randomBytes(4 * 4194304 + 5);
        const QJsonObject file = m_emulator.addFile(source("onefails", original), "one fails.bin");
        // The third range fails while the others succeed.
        m_emulator.setFaults({{"range", QJsonObject{{"first", 2 * 4194304}, {"count", 1}, {"status", status}}}});
        QTemporaryDir folder;
        const QString job = newJob();
        const ToolRun failed = runTool({file["link"].toString(), folder.path(), job});
        QCOMPARE(failed.exitCode, 1);
        QCOMPARE(failed.lines().last(), "ERROR: " + message);
        // The two ranges before the failed one are on disk; what came after it was not written.
        QCOMPARE(QFileInfo(folder.filePath(".lark-" + job + ".mega.part")).size(), 2 * 4194304);
        m_emulator.setFaults({{"range", QJsonObject{{"count", 0}}}});
        const qsizetype logSize = m_emulator.requestLog().size();
        const ToolRun resumed = runTool({file["link"].toString(), folder.path(), job});
        QCOMPARE(resumed.exitCode, 0);
        QCOMPARE(rangesByStart(logSize).first(), "8388608-12582911");
        QCOMPARE(readFile(folder.filePath("one fails.bin")), original);
    }

    void oneConnectionWhenAsked()
    {
        const QByteArray original = randomBytes(2 * 4194304 + 1);
        const QJsonObject file = m_emulator.addFile(source("single", original), "single.bin");
        qputenv("LARK_MEGA_CONNECTIONS", "1");
        QTemporaryDir folder;
        const qsizetype logSize = m_emulator.requestLog().size();
        const ToolRun run = runTool({file["link"].toString(), folder.path(), newJob()});
        qunsetenv("LARK_MEGA_CONNECTIONS");
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(readFile(folder.filePath("single.bin")), original);
        QCOMPARE(rangePaths(logSize), QStringList({"0-4194303", "4194304-8388607", "8388608-8388608"}));
    }

    void aSlowConnectionHandsItsRangeOver()
    {
        const QByteArray original = randomBytes(2 * 4194304 + 3);
        const QJsonObject file = m_emulator.addFile(source("slow", original), "one slow.bin");
        // One of the two connections gets a sixteenth of the other's rate.
        m_emulator.setShape(4 * 1048576, 0, 262144);
        qputenv("LARK_MEGA_CONNECTIONS", "2");
        QTemporaryDir folder;
        const qsizetype logSize = m_emulator.requestLog().size();
        const ToolRun run = runTool({file["link"].toString(), folder.path(), newJob()});
        qunsetenv("LARK_MEGA_CONNECTIONS");
        m_emulator.setShape(0, 0);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(readFile(folder.filePath("one slow.bin")), original);
        // The fast connection took over the tail of a range, which starts off the 4 MiB grid.
        const QStringList ranges = rangePaths(logSize);
        QVERIFY2(std::any_of(ranges.cbegin(), ranges.cend(),
                             [](const QString &range) { return range.section('-', 0, 0).toLongLong() % 4194304 != 0; }),
                 qPrintable(ranges.join(' ')));
    }

    // A lower bound only, which a busy machine cannot break: it is slower, never faster.
    void aRateLimitHoldsAcrossItsConnections()
    {
        const QByteArray original = randomBytes(3 * 1048576);
        const QJsonObject file = m_emulator.addFile(source("limited", original), "limited.bin");
        qputenv("LARK_MEGA_RATE_LIMIT", "1048576");
        QTemporaryDir folder;
        QElapsedTimer clock;
        clock.start();
        const ToolRun run = runTool({file["link"].toString(), folder.path(), newJob()});
        const double seconds = clock.elapsed() / 1000.0;
        qunsetenv("LARK_MEGA_RATE_LIMIT");
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(readFile(folder.filePath("limited.bin")), original);
        // 3 MiB at 1 MiB/s, less the quarter second the bucket may hold at the start.
        QVERIFY2(seconds >= 2.7, qPrintable(QString::number(seconds)));
    }

    void resumeFromWhatAStoppedJobLeft_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("fetchedAgain"); // what failed the check was fetched once more, from the start
        QTest::newRow("as it was left") << "none" << false;
        QTest::newRow("damaged state") << "state" << false;
        QTest::newRow("partial cut short by a few bytes") << "cut" << false;
        QTest::newRow("garbage appended to the partial") << "garbage" << true;
        QTest::newRow("state removed by hand") << "nostate" << true;
        QTest::newRow("partial of the earlier version: ciphertext, no state") << "old" << false;
    }
    void resumeFromWhatAStoppedJobLeft()
    {
        QFETCH(QString, damage);
        QFETCH(bool, fetchedAgain);
        const qsizetype size = 6 * 4194304 + 100;
        const QByteArray original = randomBytes(size);
        const QJsonObject file = m_emulator.addFile(source("six ranges", original), "six.bin");
        QTemporaryDir folder;
        const QString job = newJob();
        const QString partial = folder.filePath(".lark-" + job + ".mega.part");
        const QString state = folder.filePath(".lark-" + job + ".mega.state");
        // The sixth range fails: five reach the disk, with a state saved along the way.
        m_emulator.setFaults({{"range", QJsonObject{{"first", 5 * 4194304}, {"count", 1}, {"status", 404}}}});
        const ToolRun stopped = runTool({file["link"].toString(), folder.path(), job});
        m_emulator.setFaults({{"range", QJsonObject{{"count", 0}}}});
        QCOMPARE(stopped.exitCode, 1);
        QCOMPARE(QFileInfo(partial).size(), 5 * 4194304);
        QVERIFY(ownerOnly(state));
        // What is on disk is the plaintext: one copy, nothing to decrypt afterwards.
        QCOMPARE(readFile(partial), original.first(5 * 4194304));

        if (damage == "state") {
            QByteArray bytes = readFile(state);
            bytes[20] = static_cast<char>(bytes[20] ^ 0x40);
            writeFile(state, bytes);
        } else if (damage == "cut") {
            QVERIFY(QFile::resize(partial, 5 * 4194304 - 5));
        } else if (damage == "garbage") {
            QFile grown(partial);
            QVERIFY(grown.open(QIODevice::Append));
            grown.write(randomBytes(1000).replace('\0', 'x'));
        } else if (damage == "nostate") {
            QVERIFY(QFile::remove(state));
        } else if (damage == "old") {
            // What the earlier version kept: the ciphertext as it came, and no state.
            const auto link = MegaLink::parse(file["link"].toString());
            QVERIFY(link);
            const auto cipher = MegaCtrDecryptor::create(link->aesKey(), link->nonce());
            QVERIFY(cipher);
            QByteArray bytes = original.first(3 * 4194304 + 7);
            QVERIFY((*cipher)->update(bytes.constData(), bytes.data(), bytes.size()));
            QVERIFY(QFile::remove(state));
            writeFile(partial, bytes);
        }

        const qsizetype logSize = m_emulator.requestLog().size();
        const ToolRun resumed = runTool({file["link"].toString(), folder.path(), job});
        QVERIFY2(resumed.exitCode == 0, resumed.output.right(300).constData());
        QCOMPARE(readFile(folder.filePath("six.bin")), original);
        QCOMPARE(workingFiles(folder.path()), QStringList());
        QCOMPARE(rangesByStart(logSize).contains(QString("0-4194303")), fetchedAgain);
    }

    void slowServersAreLeftAndAskedAgain_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<bool>("succeeds");
        // clang-format off
        QTest::newRow("stops sending once") << QJsonObject{{"stallMs", 600000}, {"count", 1}, {"first", 4194304}} << true;
        QTest::newRow("trickles two bytes a second once") << QJsonObject{{"trickle", 2}, {"count", 1}, {"first", 0}} << true;
        QTest::newRow("stops sending every time") << QJsonObject{{"stallMs", 600000}, {"first", 4194304}} << false;
        QTest::newRow("a server that says nothing at all") << QJsonObject{{"silent", true}} << false;
        // clang-format on
    }
    void slowServersAreLeftAndAskedAgain()
    {
        QFETCH(QJsonObject, fault);
        QFETCH(bool, succeeds);
        const QByteArray original = randomBytes(4194305);
        const QJsonObject file = m_emulator.addFile(source("stall", original), "stalled.bin");
        // One range is slow for far longer than the limit.
        m_emulator.setFaults({{"range", fault}});
        qputenv("LARK_MEGA_NO_DATA_SECONDS", "2");
        // With nothing arriving at all, the run gives up before its tries are spent.
        if (fault.contains("silent"))
            qputenv("LARK_MEGA_GIVE_UP_SECONDS", "5");
        QTemporaryDir folder;
        const QString job = newJob();
        const ToolRun run = runTool({file["link"].toString(), folder.path(), job}, {}, 300000);
        qunsetenv("LARK_MEGA_NO_DATA_SECONDS");
        qunsetenv("LARK_MEGA_GIVE_UP_SECONDS");
        m_emulator.setFaults({{"range", QJsonObject{{"count", 0}}}});
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        const qint64 first = fault["first"].toInteger();
        const QStringList asked = asksWithin(first, std::min<qint64>(first + 4194303, 4194304));
        if (succeeds) {
            QCOMPARE(run.exitCode, 0);
            QCOMPARE(readFile(folder.filePath("stalled.bin")), original);
            QCOMPARE(asked.size(), 2);
        } else {
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.lines().last().startsWith("ERROR: Could not reach MEGA: "), run.output.constData());
            // Not for ever: each range is tried a bounded number of times, and
            // the run ends sooner when nothing at all arrives for the give-up time.
            if (fault.contains("silent"))
                QVERIFY2(asked.size() >= 1 && asked.size() < 8, qPrintable(asked.join(' ')));
            else
                QCOMPARE(asked.size(), 8);
            // What arrived in order is kept for the resume.
            QCOMPARE(QFileInfo(folder.filePath(".lark-" + job + ".mega.part")).size(),
                     fault.contains("silent") ? 0 : 4194304);
        }
    }

    void moveOntoAClaimNeverReplaces_data()
    {
        QTest::addColumn<bool>("occupied");
        QTest::newRow("free name") << false;
        QTest::newRow("name taken") << true;
    }
    void moveOntoAClaimNeverReplaces()
    {
        QFETCH(bool, occupied);
        QTemporaryDir folder;
        const QString from = folder.filePath(".working");
        const QString to = folder.filePath("clip.mp4");
        QFile working(from);
        QVERIFY(working.open(QIODevice::WriteOnly));
        working.write("finished data");
        working.close();
        QVERIFY(working.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        if (occupied) {
            QFile user(to);
            QVERIFY(user.open(QIODevice::WriteOnly));
            user.write("the user's own file");
        }
        const auto moved = FileSystem::moveOntoClaim(from, to);
        QCOMPARE(bool(moved), !occupied);
        if (occupied) {
            QVERIFY(moved.error().message.startsWith("Could not move the finished file to " + to + ": "));
            QCOMPARE(readFile(to), QByteArray("the user's own file"));
            QCOMPARE(readFile(from), QByteArray("finished data"));
        } else {
            QCOMPARE(readFile(to), QByteArray("finished data"));
            QVERIFY(!QFile::exists(from));
            QCOMPARE(QFileInfo(to).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
        }
    }

    void resumesAfterKill_data()
    {
        QTest::addColumn<int>("rangesBeforeKill");
        QTest::newRow("before the first range") << 0;
        QTest::newRow("after one range") << 1;
        QTest::newRow("after two ranges") << 2;
    }
    void resumesAfterKill()
    {
        QFETCH(int, rangesBeforeKill);
        const QByteArray original = randomBytes(10 * 1048576);
        const QJsonObject file = m_emulator.addFile(source("10mib", original), "ten.bin");
        // The range after the ones we let through stalls, so the kill lands mid-transfer.
        m_emulator.setFaults(
            {{"range", QJsonObject{{"first", rangesBeforeKill * 4194304}, {"count", 1}, {"stallMs", 30000}}}});
        QTemporaryDir folder;
        const QString job = newJob();
        QProcess tool;
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(toolPath(), {file["link"].toString(), folder.path(), job});
        QVERIFY(tool.waitForStarted());
        QByteArray seen;
        const QString partial = folder.filePath(".lark-" + job + ".mega.part");
        QTRY_VERIFY_WITH_TIMEOUT((seen += tool.readAll(), seen.contains("LARK_TITLE|") &&
                                                              QFileInfo(partial).size() == rangesBeforeKill * 4194304),
                                 120000);
        // The stalled range has been asked for (others may have been too, over other connections).
        const QString stalled = QString("%1-").arg(rangesBeforeKill * 4194304);
        QTRY_VERIFY(!rangePaths().filter(QRegularExpression("^" + stalled)).isEmpty());
        ::kill(static_cast<pid_t>(tool.processId()), SIGKILL);
        QVERIFY(tool.waitForFinished());
        QCOMPARE(QFileInfo(partial).size(), qint64(rangesBeforeKill) * 4194304);
        QVERIFY(ownerOnly(partial));

        const qsizetype logSize = m_emulator.requestLog().size();
        const ToolRun resumed = runTool({file["link"].toString(), folder.path(), job});
        QCOMPARE(resumed.exitCode, 0);
        QCOMPARE(readFile(folder.filePath("ten.bin")), original);
        QCOMPARE(workingFiles(folder.path()), QStringList());
        QCOMPARE(rangesByStart(logSize).first(),
                 QString("%1-%2")
                     .arg(rangesBeforeKill * 4194304)
                     .arg(qMin(rangesBeforeKill * 4194304 + 4194303, 10 * 1048576 - 1)));
    }

    void aPauseKeepsWhatArrived()
    {
        const QByteArray original = randomBytes(2 * 4194304);
        const QJsonObject file = m_emulator.addFile(source("paused", original), "paused.bin");
        m_emulator.setShape(1048576, 0);
        qputenv("LARK_MEGA_CONNECTIONS", "1");
        QTemporaryDir folder;
        const QString job = newJob();
        QProcess tool;
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(toolPath(), {file["link"].toString(), folder.path(), job});
        qunsetenv("LARK_MEGA_CONNECTIONS");
        QVERIFY(tool.waitForStarted());
        // Progress counts bytes as they arrive, well inside the first range.
        QByteArray seen;
        qint64 arrived = 0;
        const auto progressed = [&] {
            seen += tool.readAll();
            for (const QString &line : QString::fromUtf8(seen).split('\n')) {
                if (const auto progress = parseProgressLine(line); progress && progress->bytesDone)
                    arrived = *progress->bytesDone;
            }
            return arrived >= 1572864;
        };
        QTRY_VERIFY_WITH_TIMEOUT(progressed(), 120000);
        QVERIFY(arrived < 4194304);
        ::kill(static_cast<pid_t>(tool.processId()), SIGINT);
        QVERIFY(tool.waitForFinished(60000));
        m_emulator.setShape(0, 0);
        QCOMPARE(tool.exitStatus(), QProcess::CrashExit); // ended as the signal ends it
        QVERIFY2(!tool.readAll().contains("ERROR:"), "a pause is no failure");
        const qint64 kept = QFileInfo(folder.filePath(".lark-" + job + ".mega.part")).size();
        QVERIFY2(kept >= arrived - arrived % 16 && kept % 16 == 0, qPrintable(QString::number(kept)));
        QCOMPARE(workingFiles(folder.path()), jobFiles(job));

        const qsizetype logSize = m_emulator.requestLog().size();
        const ToolRun resumed = runTool({file["link"].toString(), folder.path(), job});
        QCOMPARE(resumed.exitCode, 0);
        QCOMPARE(readFile(folder.filePath("paused.bin")), original);
        QVERIFY(rangesByStart(logSize).first().startsWith(QString("%1-").arg(kept)));
    }

    void resumeCountsFromThePartialLength()
    {
        const QByteArray original = randomBytes(4194305);
        const QJsonObject file = m_emulator.addFile(source("4194305", original), "odd.bin");
        QTemporaryDir folder;
        const QString job = newJob();
        // Twenty bytes that are not the real data: the ranges continue after the whole AES block among
        // them, the check catches the rest, and the whole file is fetched again.
        writeFile(folder.filePath(".lark-" + job + ".mega.part"), QByteArray(20, 'x'));
        const ToolRun run = runTool({file["link"].toString(), folder.path(), job});
        QCOMPARE(rangePaths().first(), "16-4194304");
        QCOMPARE(rangesByStart(2), QStringList({"0-4194303", "4194304-4194304"}));
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.lines().contains("LARK_STATUS|The file did not match its integrity code: fetching it again\u2026"));
        QCOMPARE(readFile(folder.filePath("odd.bin")), original);
        QCOMPARE(workingFiles(folder.path()), QStringList());
    }

    void partialLongerThanFileStartsOver()
    {
        const QByteArray original = randomBytes(43);
        const QJsonObject file = m_emulator.addFile(source("43", original), "short.bin");
        QTemporaryDir folder;
        const QString job = newJob();
        writeFile(folder.filePath(".lark-" + job + ".mega.part"), QByteArray(100, 'x'));
        const ToolRun run = runTool({file["link"].toString(), folder.path(), job});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(rangePaths(), QStringList{"0-42"});
        QCOMPARE(readFile(folder.filePath("short.bin")), original);
    }

    void tamperedCiphertext_data()
    {
        QTest::addColumn<int>("damagedAnswers");
        QTest::newRow("damaged once: fetched again") << 1;
        QTest::newRow("damaged twice: nothing kept") << 2;
    }
    void tamperedCiphertext()
    {
        QFETCH(int, damagedAnswers);
        const QByteArray original = randomBytes(4194305);
        const QJsonObject file = m_emulator.addFile(source("4194305", original), "tampered.bin");
        m_emulator.setFaults({{"range", QJsonObject{{"flip", true}, {"count", damagedAnswers}, {"first", 0}}}});
        QTemporaryDir folder;
        const QString job = newJob();
        const ToolRun run = runTool({file["link"].toString(), folder.path(), job});
        // Nothing untrusted is left behind either way: a retry starts clean.
        QCOMPARE(workingFiles(folder.path()), QStringList());
        if (damagedAnswers == 1) {
            QCOMPARE(run.exitCode, 0);
            QCOMPARE(readFile(folder.filePath("tampered.bin")), original);
            return;
        }
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.lines().mid(run.lines().size() - 3),
                 QStringList({statusLine, "LARK_FAILURE|integrity",
                              "ERROR: MEGA integrity check failed: the file arrived damaged twice, so nothing of it "
                              "was kept."}));
        QVERIFY(!QFileInfo::exists(folder.filePath("tampered.bin")));
        const ToolRun retried = runTool({file["link"].toString(), folder.path(), job});
        QCOMPARE(retried.exitCode, 0);
        QCOMPARE(readFile(folder.filePath("tampered.bin")), original);
    }

    void collisionsAndTheNoReplaceMove()
    {
        const QByteArray original = randomBytes(43);
        const QJsonObject file = m_emulator.addFile(source("43", original), "movie.mkv");
        QTemporaryDir folder;
        const QString job = "ABCDEF12-" + newJob().mid(9);
        writeFile(folder.filePath("movie.mkv"), "the user's own file");

        ToolRun run = runTool({file["link"].toString(), folder.path(), job});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.lines().last(), "LARK_FILE|" + folder.filePath("movie [ABCDEF12].mkv"));
        QCOMPARE(readFile(folder.filePath("movie [ABCDEF12].mkv")), original);
        QCOMPARE(readFile(folder.filePath("movie.mkv")), QByteArray("the user's own file"));

        // Both names taken: the move must fail rather than replace, and keep the partial file.
        run = runTool({file["link"].toString(), folder.path(), job});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.lines().last(), "ERROR: Could not move the finished file to " +
                                         folder.filePath("movie [ABCDEF12].mkv") + ": File exists");
        QCOMPARE(readFile(folder.filePath("movie [ABCDEF12].mkv")), original);
        QCOMPARE(workingFiles(folder.path()), jobFiles(job));

        // The partial file is complete now: the next run asks for no data at all.
        QVERIFY(QFile::remove(folder.filePath("movie [ABCDEF12].mkv")));
        const qsizetype logSize = m_emulator.requestLog().size();
        run = runTool({file["link"].toString(), folder.path(), job});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(rangePaths(logSize), QStringList());
        QCOMPARE(run.lines().filter(QRegularExpression("^(?!LARK_PROGRESS)")).mid(0, 2),
                 QStringList({"LARK_TITLE|movie.mkv", statusLine}));
        QCOMPARE(readFile(folder.filePath("movie [ABCDEF12].mkv")), original);
    }

    void namesAreMadeSafe_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("saved");
        // clang-format off
        QTest::newRow("separators") << "a/b:c" << "a/b:c" << "a_b_c";
        QTest::newRow("dot dot") << ".." << ".." << "MEGA download";
        QTest::newRow("line feed") << "line1\nline2" << "line1 line2" << "line1_line2";
        QTest::newRow("escape attempt") << "../../etc/passwd" << "../../etc/passwd" << ".._.._etc_passwd";
        QTest::newRow("long") << QString(200, 'n') << QString(200, 'n') << QString(180, 'n');
        QTest::newRow("long, its extension kept") << QString(200, 'n') + ".mp4" << QString(200, 'n') + ".mp4" << QString(176, 'n') + ".mp4";
        QTest::newRow("long in two-byte characters") << QString(100, u'\u00dc') + ".mp4" << QString(100, u'\u00dc') + ".mp4" << QString(88, u'\u00dc') + ".mp4";
        QTest::newRow("carriage returns forging lines") << "Holiday.mp4\rLARK_FILE|/etc/shadow\rLARK_PROGRESS|100%|9 MiB/s|0:00|1 MiB"
            << "Holiday.mp4 LARK_FILE|/etc/shadow LARK_PROGRESS|100%|9 MiB/s|0:00|1 MiB"
            << "Holiday.mp4_LARK_FILE|_etc_shadow_LARK_PROGRESS|100%|9 MiB_s|0_00|1 MiB";
        QTest::newRow("direction override") << "clip\u202Evid.exe" << "clipvid.exe" << "clipvid.exe";
        QTest::newRow("other controls") << "a\tb\u0085c\u0007d\u2028e.mkv" << "a b cd e.mkv" << "a b cd e.mkv";
        // clang-format on
    }
    void namesAreMadeSafe()
    {
        QFETCH(QString, name);
        QFETCH(QString, title);
        QFETCH(QString, saved);
        const QJsonObject file = m_emulator.addFile(source("43", randomBytes(43)), name);
        QTemporaryDir folder;
        const ToolRun run = runTool({file["link"].toString(), folder.path(), newJob()});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.lines().first(), "LARK_TITLE|" + title);
        QCOMPARE(run.lines().last(), "LARK_FILE|" + folder.filePath(saved));
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{saved});
    }

    void hostileNamesStayInTheFolder_data()
    {
        QTest::addColumn<QJsonObject>("naming");
        // clang-format off
        QTest::newRow("parent path") << QJsonObject{{"name", "../../outside.mp4"}};
        QTest::newRow("absolute path") << QJsonObject{{"name", "/etc/cron.d/x"}};
        QTest::newRow("NUL") << QJsonObject{{"name", QString("a") + QChar(0) + "b.mp4"}};
        QTest::newRow("control characters") << QJsonObject{{"name", "\x01\x1b[31mred\x7f.mp4"}};
        QTest::newRow("very long") << QJsonObject{{"name", QString(5000, QChar(0x1F600 & 0xFFFF)).left(4000) + ".mp4"}};
        QTest::newRow("dot dot") << QJsonObject{{"name", ".."}};
        QTest::newRow("invalid UTF-8") << QJsonObject{{"name", "x"}, {"nameBytes", QString(QByteArray("bad\xff\xfe/..").toBase64())}};
        // clang-format on
    }
    void hostileNamesStayInTheFolder()
    {
        QFETCH(QJsonObject, naming);
        QJsonObject hostile{{"id", "f"}, {"type", "file"}, {"parent", "root"}, {"path", source("43", randomBytes(43))}};
        for (auto it = naming.begin(); it != naming.end(); ++it)
            hostile.insert(it.key(), it.value());
        const QJsonObject share = m_emulator.addShare({node("root", "folder", "Share"), hostile});
        const ToolRun listed = runTool({"--list-folder", share["link"].toString()});
        QCOMPARE(listed.exitCode, 0);
        const auto listing = MegaFolderListing::fromJsonText(listed.output);
        QVERIFY(listing);
        // An unreadable name is skipped; every other one is downloaded below.
        QVERIFY(listing->nodes.size() == 2 || listing->skippedNodes == 1);
        QTemporaryDir outer;
        const QString folder = outer.filePath("downloads");
        QVERIFY(QDir().mkpath(folder));
        for (const MegaFolderNode &file : listing->nodes) {
            if (file.isFolder)
                continue;
            const MegaNodeDownload download{
                listing->shareHandle, file.id, file.key.toString(), file.name, file.size, {}};
            const ToolRun run = runTool({"--folder-file", folder, newJob()}, download.toJsonText());
            QCOMPARE(run.exitCode, 0);
            const QString saved = run.lines().last().mid(QString("LARK_FILE|").size());
            QCOMPARE(QFileInfo(saved).absolutePath(), folder);
            QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 1);
        }
        // Nothing appeared beside the download folder.
        QCOMPARE(QDir(outer.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"downloads"});
    }

    void rejectsJobsThatAreNotOneName()
    {
        QTemporaryDir folder;
        const ToolRun run = runTool(
            {"https://mega.nz/file/AbCdEfGh#EBAQEBAQEBAvOphYgNCT8hAREhMUFRYXJzOSU4zdnf0", folder.path(), "../escape"});
        QCOMPARE(run.lines(), QStringList({"LARK_FAILURE|input", "ERROR: Invalid job identifier."}));
        QCOMPARE(m_emulator.requestLog().size(), 0);
    }

    void plantedWorkingFilesNeverHangTheTool_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("FIFO as the state") << ".mega.state" << true;
        QTest::newRow("FIFO as the new state") << ".mega.state.new" << true;
        QTest::newRow("FIFO as the partial") << ".mega.part" << false;
    }
    void plantedWorkingFilesNeverHangTheTool()
    {
        QFETCH(QString, planted);
        QFETCH(bool, succeeds);
        // Big enough that a state is saved on the way.
        const QByteArray original = randomBytes(5 * 4194304);
        const QJsonObject file = m_emulator.addFile(source("five ranges", original), "five.bin");
        QTemporaryDir folder;
        const QString job = newJob();
        const QString fifo = folder.filePath(".lark-" + job + planted);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const ToolRun run = runTool({file["link"].toString(), folder.path(), job}, {}, 120000);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        if (succeeds) {
            QCOMPARE(run.exitCode, 0);
            QCOMPARE(readFile(folder.filePath("five.bin")), original);
        } else {
            QCOMPARE(run.exitCode, 1);
            QCOMPARE(run.lines().last(), "ERROR: Could not open " + fifo + ": it is not a regular file.");
        }
    }

    void sizesThatCannotBeTheFile_data()
    {
        QTest::addColumn<qint64>("listed");
        QTest::addColumn<qint64>("offered");
        QTest::addColumn<QString>("message");
        // clang-format off
        QTest::newRow("another size than listed") << qint64(100000) << qint64(1000000000000) << "MEGA offered 1.0 TB for this file, but the folder listed it as 100.0 kB: fetch the folder again.";
        QTest::newRow("more than the disk holds") << qint64(1000000000000000000) << qint64(1000000000000000000) << "There is not enough free space in %1 for this file: it needs ";
        // clang-format on
    }
    void sizesThatCannotBeTheFile()
    {
        QFETCH(qint64, listed);
        QFETCH(qint64, offered);
        QFETCH(QString, message);
        QTemporaryDir folder;
        const QString storage = m_emulator.apiUrl() + "/dl/0123";
        m_emulator.setFaults(
            {{"api", QJsonObject{{"body", QString("[{\"g\":\"%1\",\"s\":%2}]").arg(storage).arg(offered)}}}});
        const MegaNodeDownload download{"AbCdEfGh", "0aB1cD2e", "EBAQEBAQEBAvOphYgNCT8hAREhMUFRYXJzOSU4zdnf0",
                                        "huge.bin", listed,     {}};
        const ToolRun run = runTool({"--folder-file", folder.path(), newJob()}, download.toJsonText());
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.lines().last().startsWith("ERROR: " + message.arg(QDir(folder.path()).absolutePath())),
                 run.output.constData());
        QCOMPARE(rangePaths(), QStringList());
        QCOMPARE(QFileInfo(folder.filePath("huge [0aB1cD2e].bin")).exists(), false);
    }

    void folderFileMode()
    {
        const QByteArray movie = randomBytes(5000);
        const QByteArray notes = randomBytes(3);
        const QJsonObject share = m_emulator.addShare({
            node("root", "folder", "Share"),
            QJsonObject{{"id", "movie"},
                        {"type", "file"},
                        {"name", "movie.mkv"},
                        {"parent", "root"},
                        {"path", source("5000", movie)}},
            QJsonObject{
                {"id", "notes"}, {"type", "file"}, {"name", "notes"}, {"parent", "root"}, {"path", source("3", notes)}},
        });
        QTemporaryDir folder;
        for (const auto &[id, name, bytes] :
             {std::tuple{"movie", "movie.mkv", movie}, std::tuple{"notes", "notes", notes}}) {
            const QString handle = share["handles"][id].toString();
            const MegaNodeDownload download{share["handle"].toString(),
                                            handle,
                                            share["keys"][id].toString(),
                                            QString::fromUtf8(name).section(' ', 0, 0),
                                            bytes.size(),
                                            {}};
            const ToolRun run = runTool({"--folder-file", folder.path(), newJob()}, download.toJsonText());
            QCOMPARE(run.exitCode, 0);
            const QString saved = folder.filePath(QString::fromUtf8(name));
            QCOMPARE(run.lines().last(), "LARK_FILE|" + saved);
            QCOMPARE(readFile(saved), bytes);
        }
        const QJsonArray log = m_emulator.requestLog();
        const QJsonObject request = log[0].toObject();
        QCOMPARE(request["query"].toObject()["n"].toString(), share["handle"].toString());
        const QJsonObject command = QJsonDocument::fromJson(request["body"].toString().toUtf8()).array()[0].toObject();
        QCOMPARE(command, QJsonObject({{"a", "g"}, {"g", 1}, {"ssl", 2}, {"n", share["handles"]["movie"]}}));

        // Without attributes in the reply, the saved name is used.
        m_emulator.setFaults({{"omitAttributes", true}});
        const QString handle = share["handles"]["notes"].toString();
        const MegaNodeDownload download{share["handle"].toString(), handle, share["keys"]["notes"].toString(),
                                        "saved name.txt",           3,      {}};
        const ToolRun run = runTool({"--folder-file", folder.path(), newJob()}, download.toJsonText());
        QCOMPARE(run.lines().first(), "LARK_TITLE|saved name.txt");
        QCOMPARE(run.lines().last(), "LARK_FILE|" + folder.filePath("saved name.txt"));
        m_emulator.setFaults({{"omitAttributes", false}});

        // One run for several files: each job ends with its own status, a job
        // that fails leaves the next alone, and every file after the first
        // goes over the connection already open.
        QTemporaryDir several;
        const auto job = [&](const QJsonValue &node, const QString &name) {
            return QJsonDocument(QJsonObject{{"folder", several.path()}, {"job", name}, {"node", node}})
                .toJson(QJsonDocument::Compact);
        };
        const auto described = [&](const char *id, const char *name, qint64 size) {
            return MegaNodeDownload{share["handle"].toString(),
                                    share["handles"][id].toString(),
                                    share["keys"][id].toString(),
                                    name,
                                    size,
                                    {}}
                .toJson();
        };
        const QByteArray jobs = job(described("movie", "movie.mkv", movie.size()), newJob()) + '\n' +
                                job(QJsonObject{{"name", "no key.mkv"}}, newJob()) + "\n[1]\n" +
                                job(described("notes", "notes", notes.size()), "../escape") + '\n' +
                                job(described("notes", "notes", notes.size()), newJob()) + '\n';
        const qsizetype logged = m_emulator.requestLog().size();
        const ToolRun both = runTool({"--folder-files"}, jobs);
        QCOMPARE(both.exitCode, 0);
        QStringList reported;
        for (const QString &line : both.lines()) {
            if (line.startsWith("LARK_FILE|") || line.startsWith("LARK_END|") || line.startsWith("LARK_FAILURE|") ||
                line.startsWith("ERROR:"))
                reported.append(line);
        }
        QCOMPARE(reported,
                 QStringList({"LARK_FILE|" + several.filePath("movie.mkv"), "LARK_END|0", "LARK_FAILURE|input",
                              "ERROR: The MEGA file information is missing a required value or has one of the wrong "
                              "type.",
                              "LARK_END|1", "LARK_FAILURE|input",
                              "ERROR: A job needs a folder, a job name and a MEGA file description.", "LARK_END|1",
                              "LARK_FAILURE|input", "ERROR: Invalid job identifier.", "LARK_END|1",
                              "LARK_FILE|" + several.filePath("notes"), "LARK_END|0"}));
        QCOMPARE(readFile(several.filePath("movie.mkv")), movie);
        QCOMPARE(readFile(several.filePath("notes")), notes);
        const QJsonArray requests = m_emulator.requestLog();
        QSet<int> connections;
        for (qsizetype i = logged; i < requests.size(); ++i)
            connections.insert(requests[i].toObject()["connection"].toInt());
        QCOMPARE(requests.size() - logged, 4); // an API request and a range for each file
        QCOMPARE(connections.size(), 1);
    }

    void folderFilesKeepTheirFolders_data()
    {
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QStringList>("saved"); // relative to the download folder, one a run of the same file
        QTest::newRow("none") << QStringList() << QStringList{"clip.mp4", "clip [%1].mp4", "clip [%2].mp4"};
        QTest::newRow("two levels") << QStringList{"Trip", "Day 1"}
                                    << QStringList{"Trip/Day 1/clip.mp4", "Trip/Day 1/clip [%1].mp4"};
        QTest::newRow("names that would leave the folder")
            << QStringList{"..", "a/../../b", "."} << QStringList{"MEGA download/a_.._.._b/MEGA download/clip.mp4"};
        QTest::newRow("a name that would start a line")
            << QStringList{"x\nLARK_FILE|/etc"} << QStringList{"x_LARK_FILE|_etc/clip.mp4"};
        QTest::newRow("a name of a megabyte, with a carriage return")
            << QStringList{"\r" + QString(1 << 20, 'y')} << QStringList{"_" + QString(179, 'y') + "/clip.mp4"};
    }
    void folderFilesKeepTheirFolders()
    {
        QFETCH(QStringList, folders);
        QFETCH(QStringList, saved);
        const QByteArray bytes = randomBytes(4000);
        const QJsonObject share = m_emulator.addShare({
            node("root", "folder", "Share"),
            QJsonObject{{"id", "clip"},
                        {"type", "file"},
                        {"name", "clip.mp4"},
                        {"parent", "root"},
                        {"path", source("clip", bytes)}},
        });
        QTemporaryDir folder;
        for (qsizetype run = 0; run < saved.size(); ++run) {
            const MegaNodeDownload download{share["handle"].toString(),
                                            share["handles"]["clip"].toString(),
                                            share["keys"]["clip"].toString(),
                                            "clip.mp4",
                                            bytes.size(),
                                            folders};
            const QString job = newJob();
            const ToolRun ran = runTool({"--folder-file", folder.path(), job}, download.toJsonText());
            QVERIFY2(ran.exitCode == 0, qPrintable(ran.lines().join('\n').left(500)));
            // Taken names are tagged with the file's handle, then with the job.
            const QString expected =
                folder.filePath(QString(saved[run]).replace("%1", download.nodeHandle).replace("%2", job.left(8)));
            QCOMPARE(ran.lines().last(), "LARK_FILE|" + expected);
            QCOMPARE(readFile(expected), bytes);
        }
        // Nothing outside the download folder.
        QVERIFY(!QFileInfo::exists(QFileInfo(folder.path()).dir().filePath("b")));
    }

    void folderFileInputErrors_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("line");
        const QString invalid = "ERROR: Saved MEGA file information is invalid. Fetch the folder again.";
        // clang-format off
        QTest::newRow("empty") << QByteArray() << "ERROR: The data is not valid JSON (illegal value at offset 0).";
        QTest::newRow("missing key") << QByteArray(R"({"shareHandle":"AbCdEfGh"})")
            << "ERROR: The MEGA file information is missing a required value or has one of the wrong type.";
        QTest::newRow("short key") << QByteArray(R"({"shareHandle":"AbCdEfGh","nodeHandle":"0aB1cD2e","fileKey":"AAECAwQFBgcICQoLDA0ODw","name":"a","size":1})") << invalid;
        QTest::newRow("negative size") << QByteArray(R"({"shareHandle":"AbCdEfGh","nodeHandle":"0aB1cD2e","fileKey":"EBAQEBAQEBAvOphYgNCT8hAREhMUFRYXJzOSU4zdnf0","name":"a","size":-1})") << invalid;
        // clang-format on
    }
    void folderFileInputErrors()
    {
        QFETCH(QByteArray, input);
        QFETCH(QString, line);
        QTemporaryDir folder;
        const ToolRun run = runTool({"--folder-file", folder.path(), newJob()}, input);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.lines(), QStringList({"LARK_FAILURE|input", line}));
    }

    void listsFolders()
    {
        const QJsonObject share = m_emulator.addShare(
            {
                node("sub", "folder", "Season 2", "root"),
                QJsonObject{{"id", "clip"},
                            {"type", "file"},
                            {"name", "Clip 1.mp4"},
                            {"parent", "sub"},
                            {"path", source("43", randomBytes(43))}},
                node("root", "folder", "Shared \u00e9"),
                QJsonObject{{"id", "decoy"},
                            {"type", "file"},
                            {"name", "two parts.mkv"},
                            {"parent", "root"},
                            {"decoyKeyPart", true}},
                QJsonObject{
                    {"id", "bare"}, {"type", "folder"}, {"name", "no colon"}, {"parent", "root"}, {"noColon", true}},
                QJsonObject{
                    {"id", "nosize"}, {"type", "file"}, {"name", "no size"}, {"parent", "root"}, {"fault", "noSize"}},
                QJsonObject{{"id", "t2"}, {"type", "file"}, {"name", "type 2"}, {"fault", "badType"}},
                QJsonObject{{"id", "bad"}, {"type", "file"}, {"name", "unreadable"}, {"fault", "unreadable"}},
                QJsonObject{{"id", "short"}, {"type", "file"}, {"name", "16-byte key"}, {"fault", "wrongKeyLength"}},
                QJsonObject{{"id", "long"}, {"type", "folder"}, {"name", "32-byte key"}, {"fault", "wrongKeyLength"}},
                QJsonObject{{"id", "neg"}, {"type", "file"}, {"name", "negative"}, {"fault", "negativeSize"}},
                QJsonObject{
                    {"id", "dup1"}, {"type", "file"}, {"name", "dup"}, {"fault", "unreadable"}, {"handle", "DUPhandl"}},
                QJsonObject{{"id", "dup2"}, {"type", "file"}, {"name", "dup"}, {"handle", "DUPhandl"}},
                node("odd", "file", "say \"hi\" \\ ]},{\"nodes\":[\nnext line", "root"),
            },
            // Brackets and escaped quotes inside strings do not end an entry.
            {QJsonObject{{"h", "bad"}, {"t", 0}}, QJsonObject{{"h", "x\"]},{\"h\":[\\"}, {"a", "}]"}, {"t", 0}}});
        const ToolRun run = runTool({"--list-folder", share["link"].toString()});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.output.endsWith('}'));
        // The application gives the link, key and all, on standard input instead.
        QCOMPARE(runTool({"--list-folder", "-"}, share["link"].toString().toUtf8() + "\n").output, run.output);
        // An answer that breaks off is asked for again and read afresh, not added to what came before.
        m_emulator.setFaults({{"api", QJsonObject{{"cut", 600}, {"count", 1}}}});
        QCOMPARE(runTool({"--list-folder", share["link"].toString()}).output, run.output);
        m_emulator.setFaults({});
        const auto listing = MegaFolderListing::fromJsonText(run.output);
        QVERIFY(listing);
        const QJsonObject handles = share["handles"].toObject();
        QCOMPARE(listing->sourceURL, share["link"].toString());
        QCOMPARE(listing->shareHandle, share["handle"].toString());
        QCOMPARE(listing->rootID, handles["root"].toString());
        QCOMPARE(listing->initialFolderID, listing->rootID);
        QVERIFY(!listing->initialFileID);
        QCOMPARE(listing->skippedNodes, 9);
        QStringList names;
        for (const MegaFolderNode &n : listing->nodes)
            names.append(n.name);
        QCOMPARE(names, QStringList({"Season 2", "Clip 1.mp4", "Shared \u00e9", "two parts.mkv", "no colon", "no size",
                                     "say \"hi\" \\ ]},{\"nodes\":[\nnext line"}));
        const MegaFolderNode &clip = listing->nodes[1];
        QCOMPARE(clip.id, handles["clip"].toString());
        QCOMPARE(clip.parent, handles["sub"].toString());
        QCOMPARE(clip.size, 43);
        QCOMPARE(clip.key.toString(), share["keys"]["clip"].toString());
        QVERIFY(listing->nodes[0].key.isEmpty());
        QCOMPARE(listing->nodes[5].size, 0);

        const QString base = share["link"].toString();
        const ToolRun subfolder = runTool({"--list-folder", base + "/folder/" + handles["sub"].toString()});
        QCOMPARE(MegaFolderListing::fromJsonText(subfolder.output)->initialFolderID, handles["sub"].toString());
        const ToolRun fileLink = runTool({"--list-folder", base + "/file/" + handles["clip"].toString()});
        const auto fileListing = MegaFolderListing::fromJsonText(fileLink.output);
        QCOMPARE(fileListing->initialFolderID, handles["sub"].toString());
        QCOMPARE(fileListing->initialFileID, handles["clip"].toString());
        QCOMPARE(fileListing->sourceURL, base);
    }

    void folderListingFailures_data()
    {
        QTest::addColumn<QString>("suffix"); // appended to the share link
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<QString>("message");
        // clang-format off
        QTest::newRow("subfolder link to a file") << "/folder/@clip" << QJsonObject{} << "The subfolder link points to a file instead of a folder.";
        QTest::newRow("file link to a folder") << "/file/@sub" << QJsonObject{} << "The file link does not point to an available file.";
        QTest::newRow("file without a parent") << "/file/@orphan" << QJsonObject{} << "The file link does not point to an available file.";
        QTest::newRow("missing node") << "/folder/ZZZZZZZZ" << QJsonObject{} << "The linked subfolder or file is missing or could not be decrypted. Paste the root folder link to browse available files.";
        QTest::newRow("removed") << "" << QJsonObject{{"code", -9}} << "The MEGA link was removed or is no longer available.";
        QTest::newRow("no f array") << "" << QJsonObject{{"body", "[{\"x\":1}]"}} << "MEGA returned no folder information. The link may have expired.";
        QTest::newRow("empty f array") << "" << QJsonObject{{"body", "[{\"f\":[]}]"}} << "MEGA returned no folder information. The link may have expired.";
        QTest::newRow("f holds a number") << "" << QJsonObject{{"body", "[{\"f\":[{},1]}]"}} << "MEGA returned no folder information. The link may have expired.";
        QTest::newRow("f not an array") << "" << QJsonObject{{"body", "[{\"f\":{\"h\":[]}}]"}} << "MEGA returned no folder information. The link may have expired.";
        QTest::newRow("answer that never ends") << "" << QJsonObject{{"endless", true}} << "Invalid response from MEGA.";
        QTest::newRow("answer cut short") << "" << QJsonObject{{"body", "[{\"f\":[{\"h\":\"a\"},"}} << "Invalid response from MEGA.";
        QTest::newRow("entries without a comma") << "" << QJsonObject{{"body", "[{\"f\":[{}{}]}]"}} << "Invalid response from MEGA.";
        QTest::newRow("a key without a colon") << "" << QJsonObject{{"body", "[{\"f\":[{\"h\" \"a\"}]}]"}} << "Invalid response from MEGA.";
        QTest::newRow("an entry that is not JSON") << "" << QJsonObject{{"body", "[{\"f\":[{\"h\":tru}]}]"}} << "MEGA returned no folder information. The link may have expired.";
        QTest::newRow("bad key") << "!wrongkey" << QJsonObject{} << "The MEGA folder key is missing or invalid. Paste the full link including everything after #.";
        // clang-format on
    }
    void folderListingFailures()
    {
        QFETCH(QString, suffix);
        QFETCH(QJsonObject, fault);
        QFETCH(QString, message);
        const QJsonObject share = m_emulator.addShare({
            node("root", "folder", "Share"),
            node("sub", "folder", "Sub", "root"),
            node("clip", "file", "clip.mp4", "sub"),
            node("orphan", "file", "orphan.mp4", "elsewhere"),
        });
        if (!fault.isEmpty())
            m_emulator.setFaults({{"api", fault}});
        QString link = share["link"].toString();
        if (suffix == "!wrongkey")
            link.chop(1);
        else if (suffix.contains('@'))
            link += suffix.section('@', 0, 0) + share["handles"][suffix.section('@', 1)].toString();
        else
            link += suffix;
        const ToolRun run = runTool({"--list-folder", link});
        QCOMPARE(run.exitCode, 1);
        const QString kind = fault.value("code") == -9 ? "notFound" : "input";
        QCOMPARE(run.lines(), QStringList({"LARK_FAILURE|" + kind, "ERROR: " + message}));
    }

    void wrongFolderKey()
    {
        const QJsonObject share = m_emulator.addShare({node("root", "folder", "Share")});
        const QString link = share["link"].toString().section('#', 0, 0) + "#AAAAAAAAAAAAAAAAAAAAAA";
        const ToolRun run = runTool({"--list-folder", link});
        QCOMPARE(run.lines(),
                 QStringList({"LARK_FAILURE|input",
                              "ERROR: Could not decrypt this folder. Check that the full link and key are correct."}));
    }
};

QTEST_GUILESS_MAIN(TestMegaTool)
#include "tst_megatool.moc"
