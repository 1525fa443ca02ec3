#pragma once

#include "model/MegaFolderTree.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUuid>

#include <memory>
#include <optional>

class MegaFolderFetch;
class ListingDecode;

// The state and logic of one open folder browser: fetching the listing with
// lark-mega, navigation, filters and the file selection. Main thread only.
class MegaFolderBrowserModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(QString currentFolder READ currentFolder NOTIFY currentFolderChanged)
    Q_PROPERTY(QString search READ search WRITE setSearch NOTIFY searchChanged)
    Q_PROPERTY(bool videosOnly READ videosOnly WRITE setVideosOnly NOTIFY videosOnlyChanged)
    Q_PROPERTY(bool recursive READ recursive WRITE setRecursive NOTIFY recursiveChanged)
    Q_PROPERTY(bool selectedOnly READ selectedOnly WRITE setSelectedOnly NOTIFY selectedOnlyChanged)

public:
    // Output beyond this is not read: the listing is refused and the tool
    // stopped. A million nodes take some 140 MB.
    static constexpr qsizetype maxListingBytes = 268435456;
    // From this many nodes on, the files to show are found off the main
    // thread, each search stopping the one before it: a keystroke must not
    // wait for a walk over the whole listing.
    static constexpr qsizetype backgroundSearchNodes = 50000;

    MegaFolderBrowserModel(QString sourceURL, QString executable, QObject *parent = nullptr);
    ~MegaFolderBrowserModel() override;

    bool isLoading() const { return m_isLoading; }
    // Nodes of the listing read so far while loading; 0 until the tool's answer comes.
    qint64 itemsRead() const;
    QString error() const { return m_error; }
    // The listing's tree once it is read; null before.
    const MegaFolderTree *tree() const { return m_tree.get(); }
    QString currentFolder() const { return m_currentFolder; }
    const MegaFolderNodeList &visibleFiles() const { return m_visibleFiles; }
    const QSet<QString> &selected() const { return m_selected; }
    QString search() const { return m_search; }
    bool videosOnly() const { return m_videosOnly; }
    bool recursive() const { return m_recursive; }
    bool selectedOnly() const { return m_selectedOnly; }
    QString sourceURL() const { return m_sourceURL; }

    void setSearch(const QString &search);
    void setVideosOnly(bool videosOnly);
    void setRecursive(bool recursive);
    void setSelectedOnly(bool selectedOnly);
    void setSelected(const QSet<QString> &selected);

    QList<MegaFolderNode> chosenFiles() const;
    // The total size of the chosen files, saturating rather than wrapping.
    qint64 selectedBytes() const;
    QString selectedSize() const;
    QList<MegaFolderNode> folders() const;
    QList<MegaFolderNode> breadcrumbs() const;

    void load();
    void cancel();
    void navigate(const QString &id);
    void toggle(const QString &id);
    void selectVisible();

    // The end of a fetch, with the start of what the tool wrote and the
    // decoding of all of it; results of any fetch but the newest are ignored.
    void finish(const QByteArray &head, int status, const std::optional<QString> &readError, const QUuid &requestID,
                const std::shared_ptr<ListingDecode> &decode);
    // The tool of a fetch could not be started.
    void startFailed(const QString &description, const QUuid &requestID);

Q_SIGNALS:
    void isLoadingChanged();
    void errorChanged();
    void treeChanged();
    void currentFolderChanged();
    void visibleFilesChanged();
    void selectedChanged();
    void searchChanged();
    void videosOnlyChanged();
    void recursiveChanged();
    void selectedOnlyChanged();

private:
    void decoded(const std::shared_ptr<MegaFolderTree> &tree, const QUuid &requestID);
    void refreshFiles();
    void stopSearch();
    void setLoading(bool loading);
    void setError(const QString &error);

    bool m_isLoading = false;
    QString m_error;
    std::shared_ptr<const MegaFolderTree> m_tree;
    // Set to stop the search under way in the background, if any.
    std::shared_ptr<std::atomic<bool>> m_searchCancelled;
    QString m_currentFolder;
    MegaFolderNodeList m_visibleFiles;
    QSet<QString> m_selected;
    QString m_search;
    bool m_videosOnly = true;
    bool m_recursive = true;
    bool m_selectedOnly = false;

    QPointer<MegaFolderFetch> m_fetch;
    std::shared_ptr<ListingDecode> m_decode;
    QUuid m_generation;
    QString m_sourceURL;
    QString m_executable;
};
