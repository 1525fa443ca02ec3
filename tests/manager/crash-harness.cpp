// A manager that keeps downloads streaming progress until it is killed: the
// crash-safety test kills it at random moments and checks the history.
//   crash-harness STORAGE_DIR TOOL_DIR LINK...
#include "app/manager/DownloadManager.h"

#include <QCoreApplication>
#include <QSettings>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    QSettings settings(arguments.at(1) + QStringLiteral("/settings.ini"), QSettings::IniFormat);
    DownloadManager::Options options;
    options.storageDirectory = arguments.at(1);
    options.settings = &settings;
    options.toolDirectory = arguments.at(2);
    options.searchDirectories = QStringList{arguments.at(2)};
    options.saveDelayMs = 50; // many writes, so kills land during them
    options.maxSaveDelayMs = 100;
    DownloadManager manager(options);
    manager.setFolder(arguments.at(1) + QStringLiteral("/downloads"));
    manager.setConcurrency(10);
    manager.resumeAll();
    manager.add(arguments.mid(3).join(QLatin1Char(' ')));
    return application.exec();
}
