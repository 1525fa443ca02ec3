#include "tests/support/MegaEmulator.h"

#include "tool/HttpClient.h"

#include <QFile>
#include <QJsonDocument>

namespace {

bool runOpenssl(const QStringList &arguments, const QString &directory, QString *error)
{
    QProcess openssl;
    openssl.setWorkingDirectory(directory);
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        *error = QStringLiteral("openssl %1 failed: %2")
                     .arg(arguments.join(QLatin1Char(' ')), QString::fromUtf8(openssl.readAll()));
        return false;
    }
    return true;
}

} // namespace

MegaEmulator::MegaEmulator() = default;

MegaEmulator::~MegaEmulator()
{
    if (m_process) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

QString MegaEmulator::caFile() const
{
    return m_directory.filePath(QStringLiteral("ca.pem"));
}

QString MegaEmulator::start()
{
    const QString dir = m_directory.path();
    QString error;
    const QString curve = QStringLiteral("ec:") + m_directory.filePath(QStringLiteral("curve.pem"));
    QFile extensions(m_directory.filePath(QStringLiteral("server.ext")));
    if (!extensions.open(QIODevice::WriteOnly) ||
        extensions.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n") < 0)
        return QStringLiteral("cannot write the certificate extensions");
    extensions.close();
    if (!runOpenssl({"ecparam", "-name", "prime256v1", "-out", "curve.pem"}, dir, &error) ||
        !runOpenssl({"req", "-x509", "-newkey", curve, "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
                     "-subj", "/CN=Lark Test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                     "keyUsage=critical,keyCertSign,cRLSign"},
                    dir, &error) ||
        !runOpenssl({"req", "-newkey", curve, "-nodes", "-keyout", "server.key", "-out", "server.csr", "-subj",
                     "/CN=127.0.0.1"},
                    dir, &error) ||
        !runOpenssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                     "-out", "server.pem", "-days", "2", "-extfile", "server.ext"},
                    dir, &error))
        return error;

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(QStringLiteral("node"),
                     {QStringLiteral(LARK_EMULATOR_SCRIPT), QStringLiteral("--cert"),
                      m_directory.filePath(QStringLiteral("server.pem")), QStringLiteral("--key"),
                      m_directory.filePath(QStringLiteral("server.key"))});
    if (!m_process->waitForStarted(10000))
        return QStringLiteral("cannot start node: ") + m_process->errorString();
    QByteArray ready;
    while (!ready.contains('\n')) {
        if (!m_process->waitForReadyRead(20000))
            return QStringLiteral("the emulator did not report its port");
        ready += m_process->readAllStandardOutput();
    }
    const QByteArray port = ready.trimmed().split(' ').value(1);
    m_apiUrl = QStringLiteral("https://127.0.0.1:") + QString::fromLatin1(port);
    qputenv("LARK_MEGA_API_URL", m_apiUrl.toUtf8());
    qputenv("CURL_CA_BUNDLE", caFile().toUtf8());
    // The tool's waits before asking again, in milliseconds rather than seconds.
    qputenv("LARK_MEGA_RETRY_MS", "5");
    return {};
}

QJsonValue MegaEmulator::control(const QString &path, const QJsonObject &body)
{
    HttpClient client(std::chrono::seconds(120));
    const auto response = client.postJson(m_apiUrl + QStringLiteral("/_control/") + path, QJsonDocument(body).toJson());
    if (!response || response->status != 200)
        qFatal("emulator control request %s failed", qPrintable(path));
    const QJsonDocument document = QJsonDocument::fromJson(response->body);
    return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}

QJsonObject MegaEmulator::addFile(const QString &path, const QString &name)
{
    return control(QStringLiteral("file"), {{QLatin1String("path"), path}, {QLatin1String("name"), name}}).toObject();
}

QJsonObject MegaEmulator::addShare(const QJsonArray &nodes, const QJsonArray &raw)
{
    return control(QStringLiteral("share"), {{QLatin1String("nodes"), nodes}, {QLatin1String("raw"), raw}}).toObject();
}

QJsonObject MegaEmulator::addGeneratedShare(int folders, int files, qint64 fileSize)
{
    return control(QStringLiteral("share"),
                   {{QLatin1String("nodes"), QJsonArray()},
                    {QLatin1String("generate"), QJsonObject{{QLatin1String("folders"), folders},
                                                            {QLatin1String("files"), files},
                                                            {QLatin1String("size"), fileSize}}}})
        .toObject();
}

void MegaEmulator::setShape(qint64 bytesPerSecond, int latencyMs, qint64 slowBytesPerSecond)
{
    control(QStringLiteral("shape"), QJsonObject{{QStringLiteral("rate"), bytesPerSecond},
                                                 {QStringLiteral("latencyMs"), latencyMs},
                                                 {QStringLiteral("slowRate"), slowBytesPerSecond}});
}

void MegaEmulator::setFaults(const QJsonObject &faults)
{
    control(QStringLiteral("fault"), faults);
}

void MegaEmulator::reset()
{
    control(QStringLiteral("reset"), {});
}

QJsonArray MegaEmulator::requestLog()
{
    return control(QStringLiteral("log"), {}).toArray();
}

QStringList ToolRun::lines() const
{
    return QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString toolPath()
{
    return QStringLiteral(LARK_MEGA_PATH);
}

ToolRun runTool(const QStringList &arguments, const QByteArray &input, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(toolPath(), arguments);
    ToolRun run;
    if (!process.waitForStarted(10000))
        return run;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    run.exitCode = process.exitCode();
    run.exitStatus = process.exitStatus();
    run.output = process.readAll();
    return run;
}
