// lark-mega: every MEGA operation of the application, one per run.
//   lark-mega --self-test
//   lark-mega --list-folder URL
//   lark-mega --folder-file FOLDER JOB   (node description as JSON on standard input)
//   lark-mega --folder-files             (one job a line on standard input, see folderFiles)
//   lark-mega URL FOLDER JOB_ID
// A URL of "-" is read from standard input, so a link and its key need not
// stand on the command line, where every local user can read them.
// Output goes to standard output only; a failure is one "LARK_FAILURE|" line
// with its kind, then one "ERROR: " line, and exit status 1. SIGINT pauses:
// what arrived in order is kept, and the run ends by the signal.

#include "model/MegaNodeDownload.h"
#include "tool/Emit.h"
#include "tool/Interrupt.h"
#include "tool/JsonText.h"
#include "tool/MegaCrypto.h"
#include "tool/MegaDownload.h"
#include "tool/MegaFolderEngine.h"
#include "tool/MegaLink.h"

#include <QFile>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <malloc.h>

namespace {

MegaResult<Done> selfTest()
{
    const QByteArray zeros(16, '\0');
    const auto encrypted = crypt(zeros, zeros, zeros, true, true);
    if (!encrypted)
        return encrypted.error();
    if (*encrypted != QByteArray::fromHex("66e94bd4ef8a2c3b884cfa59ca342b2e"))
        return megaError("AES known-answer test failed");
    const auto decrypted = crypt(*encrypted, zeros, zeros, false, true);
    if (!decrypted)
        return decrypted.error();
    if (*decrypted != zeros)
        return megaError("AES inverse test failed");

    const auto link =
        MegaLink::parse(QStringLiteral("https://mega.nz/file/abcdefgh#EBAQEBAQEBAvOphYgNCT8hAREhMUFRYXJzOSU4zdnf0"));
    if (!link)
        return link.error();
    if (link->key().size() != 32 || link->aesKey() != QByteArray::fromHex("000102030405060708090a0b0c0d0e0f"))
        return megaError("MEGA key parsing failed");

    const auto folder = MegaLink::parse(QStringLiteral("https://mega.nz/folder/abcdefgh#AAAAAAAAAAAAAAAAAAAAAA"));
    if (folder)
        return megaError("Folder unexpectedly accepted");

    emitLine(QStringLiteral("PASS: AES known-answer, decryption, MEGA file key parsing, folder rejection"));
    return done;
}

// Reads standard input to its end, up to limit bytes.
MegaResult<QByteArray> readInput(qint64 limit)
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly))
        return megaError("Could not read standard input.");
    // A pipe hands over what it holds at the moment: read until its end.
    QByteArray bytes;
    while (bytes.size() <= limit) {
        const QByteArray more = input.read(limit + 1 - bytes.size());
        if (more.isEmpty())
            break;
        bytes += more;
    }
    if (bytes.size() > limit)
        return megaError("Standard input holds more than a MEGA link or file description can be.");
    return bytes;
}

// The link itself, or for "-" the first line of standard input.
MegaResult<QString> linkText(const QString &argument)
{
    if (argument != QLatin1String("-"))
        return argument;
    const auto input = readInput(65536);
    if (!input)
        return input.error();
    return QString::fromUtf8(input->left(input->indexOf('\n'))).trimmed();
}

MegaResult<Done> listFolder(const QString &argument)
{
    const auto url = linkText(argument);
    if (!url)
        return url.error();
    const auto listing = MegaFolderEngine::fetch(*url);
    if (!listing)
        return listing.error();
    if (!writeRaw(listing->head) || !writeRaw(listing->nodes) || !writeRaw(listing->tail))
        return megaError("Could not write the folder listing.");
    return done;
}

constexpr qint64 descriptionLimit = 16 * 1048576;

MegaResult<Done> downloadNode(const QJsonValue &description, const QString &folder, const QString &job)
{
    const auto node = MegaNodeDownload::fromJson(description.toObject());
    if (!description.isObject() || !node)
        return megaError("The MEGA file information is missing a required value or has one of the wrong type.");
    if (const auto invalid = node->validate())
        return MegaError{invalid->message};
    return MegaDownload::download(QString(), folder, job, *node);
}

MegaResult<Done> folderFile(const QString &folder, const QString &job)
{
    const auto input = readInput(descriptionLimit);
    if (!input)
        return input.error();
    const auto document = parseJson(*input);
    if (!document)
        return document.error();
    return downloadNode(document->object(), folder, job);
}

// The next line of standard input without its line break; none at its end.
MegaResult<std::optional<QByteArray>> readJobLine()
{
    QByteArray line;
    for (int c = std::getc(stdin); c != '\n'; c = std::getc(stdin)) {
        if (c == EOF) {
            // A pause while waiting for the next job ends the run as it would any other.
            if (interruptRequested())
                endInterrupted();
            if (std::ferror(stdin))
                return megaError("Could not read standard input.");
            return line.isEmpty() ? std::nullopt : std::optional<QByteArray>(line);
        }
        if (line.size() > descriptionLimit + 65536)
            return megaError("Standard input holds more than a MEGA link or file description can be.");
        line.append(static_cast<char>(c));
    }
    return std::optional<QByteArray>(line);
}

// Files of folder listings one after another in one run, so each after the
// first costs no start-up and goes over connections already open. Each line
// of standard input is a job: {"folder", "job", "node": description as for
// --folder-file}. Each job ends with a "LARK_END|" line carrying the status a
// run of its own would have ended with, after its failure lines if it
// failed. The run ends with standard input.
MegaResult<Done> folderFiles()
{
    for (;;) {
        const auto line = readJobLine();
        if (!line)
            return line.error();
        if (!*line)
            return done;
        const auto document = parseJson(**line);
        MegaResult<Done> result = document ? MegaResult<Done>(done) : MegaResult<Done>(document.error());
        if (document) {
            const QJsonObject job = document->object();
            const QJsonValue folder = job.value(QLatin1String("folder"));
            const QJsonValue name = job.value(QLatin1String("job"));
            if (!document->isObject() || !folder.isString() || !name.isString())
                result = megaError("A job needs a folder, a job name and a MEGA file description.");
            else
                result = downloadNode(job.value(QLatin1String("node")), folder.toString(), name.toString());
        }
        if (interruptRequested())
            endInterrupted();
        if (!result) {
            emitLine(failureLine({result.error().kind, result.error().waitSeconds}));
            emitLine(QStringLiteral("ERROR: ") + result.error().description());
        }
        emitLine(QLatin1String(WorkerProtocol::end) + QLatin1Char(result ? '0' : '1'));
    }
}

MegaResult<Done> run(const QStringList &arguments)
{
    if (arguments.size() == 1 && arguments[0] == QLatin1String("--self-test"))
        return selfTest();
    if (arguments.size() == 1 && (arguments[0] == QLatin1String("--help") || arguments[0] == QLatin1String("-h"))) {
        writeRaw("Usage:\n"
                 "  lark-mega URL FOLDER JOB_ID           download one file link into FOLDER, resumably\n"
                 "  lark-mega --folder-file FOLDER JOB_ID download one file of a folder listing; its\n"
                 "                                        description comes as JSON on standard input:\n"
                 "                                        {\"shareHandle\", \"nodeHandle\", \"fileKey\", \"name\", "
                 "\"size\"}\n"
                 "  lark-mega --folder-files              download files of folder listings one after\n"
                 "                                        another, one job a line on standard input:\n"
                 "                                        {\"folder\", \"job\", \"node\": description}; each\n"
                 "                                        ends with a line \"LARK_END|STATUS\"\n"
                 "  lark-mega --list-folder URL           print the decrypted listing of a folder link as JSON\n"
                 "  lark-mega --self-test                 check the cryptography and link parsing\n"
                 "A URL of \"-\" is read from standard input. JOB_ID names the job's working files\n"
                 "(.lark-JOB_ID.mega.part and .state in FOLDER): the same JOB_ID continues a stopped\n"
                 "download. A missing FOLDER is created.\n");
        return done;
    }
    if (arguments.size() == 2 && arguments[0] == QLatin1String("--list-folder"))
        return listFolder(arguments[1]);
    if (arguments.size() == 1 && arguments[0] == QLatin1String("--folder-files"))
        return folderFiles();
    if (arguments.size() == 3 && arguments[0] == QLatin1String("--folder-file"))
        return folderFile(arguments[1], arguments[2]);
    if (arguments.size() == 3) {
        const auto link = linkText(arguments[0]);
        if (!link)
            return link.error();
        return MegaDownload::download(*link, arguments[1], arguments[2], std::nullopt);
    }
    return megaError("Usage: lark-mega URL FOLDER JOB_ID");
}

} // namespace

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // Range buffers are a few MiB each: mapped and unmapped on their own, so
    // a buffer given back leaves the process at once instead of staying in
    // the heap (glibc otherwise raises this threshold as buffers come and go).
    // A run that serves file after file keeps them instead: mapping fresh
    // pages for each small file cost more than decrypting it.
    if (arguments != QStringList{QStringLiteral("--folder-files")})
        mallopt(M_MMAP_THRESHOLD, 512 * 1024);
    handleInterrupts();
    const auto result = run(arguments);
    // A request cut short by a pause is no failure to report.
    if (interruptRequested())
        endInterrupted();
    if (!result) {
        emitLine(failureLine({result.error().kind, result.error().waitSeconds}));
        emitLine(QStringLiteral("ERROR: ") + result.error().description());
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
