#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QUuid>

#include <optional>

class MegaFolderBrowserModel;

// One run of "lark-mega --list-folder": collects everything the tool writes,
// up to the listing cap, and reports the end to its model. Deletes itself
// once the tool has ended, so a cancelled fetch never blocks on its process.
class MegaFolderFetch : public QObject {
    Q_OBJECT

public:
    MegaFolderFetch(MegaFolderBrowserModel *model, QUuid requestID);

    // A start that fails is reported to the model through startFailed.
    void start(const QString &executable, const QString &sourceURL);
    // Stops the tool; the model hears nothing more from this fetch.
    void abandon();

private:
    void readAvailable();
    void finished(int exitCode);

    QPointer<MegaFolderBrowserModel> m_model;
    QUuid m_requestID;
    QProcess m_process;
    QByteArray m_buffer;
    std::optional<QString> m_readError;
};
