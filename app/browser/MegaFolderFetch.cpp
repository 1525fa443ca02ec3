#include "app/browser/MegaFolderFetch.h"

#include "app/browser/MegaFolderBrowserModel.h"
#include "app/manager/ChildProcess.h"

namespace {

constexpr qint64 blockBytes = 65536;

} // namespace

MegaFolderFetch::MegaFolderFetch(MegaFolderBrowserModel *model, QUuid requestID) :
    m_model(model),
    m_requestID(requestID)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    startWithDefaultSignals(m_process);
    connect(&m_process, &QProcess::readyRead, this, &MegaFolderFetch::readAvailable);
    connect(&m_process, &QProcess::finished, this, [this](int exitCode) { finished(exitCode); });
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        if (m_model)
            m_model->startFailed(m_process.errorString(), m_requestID);
        deleteLater();
    });
}

void MegaFolderFetch::start(const QString &executable, const QString &sourceURL)
{
    // The link carries the folder's key: on standard input, not the command line every local user can read.
    m_process.start(executable, {QStringLiteral("--list-folder"), QStringLiteral("-")});
    m_process.write(sourceURL.toUtf8() + '\n');
    m_process.closeWriteChannel();
}

void MegaFolderFetch::abandon()
{
    m_model = nullptr;
    if (m_process.state() == QProcess::NotRunning)
        deleteLater();
    else
        m_process.terminate();
}

void MegaFolderFetch::readAvailable()
{
    while (m_process.bytesAvailable() > 0) {
        const QByteArray block = m_process.read(blockBytes);
        if (m_readError)
            continue; // past the cap: drained and dropped until the tool has gone
        m_buffer.append(block);
        if (m_buffer.size() > MegaFolderBrowserModel::maxListingBytes) {
            m_readError = QStringLiteral("This MEGA folder listing is too large to open in this version.");
            m_buffer.clear();
            if (m_process.state() != QProcess::NotRunning)
                m_process.terminate();
        }
    }
}

void MegaFolderFetch::finished(int exitCode)
{
    readAvailable();
    if (m_model)
        m_model->finish(m_buffer, exitCode, m_readError, m_requestID);
    deleteLater();
}
