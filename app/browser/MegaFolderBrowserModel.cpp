#include "app/browser/MegaFolderBrowserModel.h"

#include "app/browser/MegaFolderFetch.h"
#include "model/ByteCount.h"
#include "model/MegaFolderLink.h"
#include "model/TextSearch.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <limits>

MegaFolderBrowserModel::MegaFolderBrowserModel(QString sourceURL, QString executable, QObject *parent) :
    QObject(parent),
    m_sourceURL(std::move(sourceURL)),
    m_executable(std::move(executable))
{}

MegaFolderBrowserModel::~MegaFolderBrowserModel()
{
    cancel();
}

void MegaFolderBrowserModel::setLoading(bool loading)
{
    if (m_isLoading == loading)
        return;
    m_isLoading = loading;
    Q_EMIT isLoadingChanged();
}

void MegaFolderBrowserModel::setError(const QString &error)
{
    m_error = error;
    Q_EMIT errorChanged();
}

void MegaFolderBrowserModel::setSearch(const QString &search)
{
    m_search = search;
    Q_EMIT searchChanged();
    refreshFiles();
}

void MegaFolderBrowserModel::setVideosOnly(bool videosOnly)
{
    m_videosOnly = videosOnly;
    Q_EMIT videosOnlyChanged();
    refreshFiles();
}

void MegaFolderBrowserModel::setRecursive(bool recursive)
{
    m_recursive = recursive;
    Q_EMIT recursiveChanged();
    refreshFiles();
}

void MegaFolderBrowserModel::setSelectedOnly(bool selectedOnly)
{
    m_selectedOnly = selectedOnly;
    Q_EMIT selectedOnlyChanged();
    refreshFiles();
}

void MegaFolderBrowserModel::setSelected(const QSet<QString> &selected)
{
    m_selected = selected;
    Q_EMIT selectedChanged();
    if (m_selectedOnly)
        refreshFiles();
}

QList<MegaFolderNode> MegaFolderBrowserModel::chosenFiles() const
{
    return m_tree ? m_tree->filesAmong(m_selected).toList() : QList<MegaFolderNode>();
}

qint64 MegaFolderBrowserModel::selectedBytes() const
{
    qint64 total = 0;
    if (!m_tree)
        return total;
    for (const MegaFolderNode &node : m_tree->filesAmong(m_selected)) {
        // A negative size, which the listing does not forbid, counts as nothing.
        const qint64 size = std::max<qint64>(node.size, 0);
        total = size > std::numeric_limits<qint64>::max() - total ? std::numeric_limits<qint64>::max() : total + size;
    }
    return total;
}

QString MegaFolderBrowserModel::selectedSize() const
{
    return formatByteCount(selectedBytes());
}

QList<MegaFolderNode> MegaFolderBrowserModel::folders() const
{
    if (m_selectedOnly || !m_tree)
        return {};
    return m_tree->folders(m_currentFolder);
}

QList<MegaFolderNode> MegaFolderBrowserModel::breadcrumbs() const
{
    return m_tree ? m_tree->breadcrumbs(m_currentFolder) : QList<MegaFolderNode>();
}

void MegaFolderBrowserModel::stopSearch()
{
    if (m_searchCancelled)
        m_searchCancelled->store(true);
    m_searchCancelled.reset();
}

void MegaFolderBrowserModel::refreshFiles()
{
    stopSearch();
    if (m_tree && !m_selectedOnly && m_tree->listing().nodes.size() >= backgroundSearchNodes) {
        auto cancelled = std::make_shared<std::atomic<bool>>(false);
        m_searchCancelled = cancelled;
        QPointer<MegaFolderBrowserModel> self(this);
        QThreadPool::globalInstance()->start([self, cancelled, tree = m_tree, folder = m_currentFolder,
                                              recursive = m_recursive, videosOnly = m_videosOnly, search = m_search] {
            MegaFolderNodeList files = tree->files(folder, recursive, videosOnly, search, cancelled.get());
            QMetaObject::invokeMethod(
                qApp,
                [self, cancelled, files = std::move(files)]() mutable {
                    // Only the newest search is shown.
                    if (!self || cancelled->load() || self->m_searchCancelled != cancelled)
                        return;
                    self->m_searchCancelled.reset();
                    self->m_visibleFiles = std::move(files);
                    Q_EMIT self->visibleFilesChanged();
                },
                Qt::QueuedConnection);
        });
        return;
    }
    if (!m_tree) {
        m_visibleFiles = {};
    } else if (m_selectedOnly) {
        const TextSearch matcher(m_search);
        m_visibleFiles = m_tree->filesAmong(m_selected).filtered([&matcher](const MegaFolderNode &node) {
            return matcher.matches(node.name);
        });
    } else {
        m_visibleFiles = m_tree->files(m_currentFolder, m_recursive, m_videosOnly, m_search);
    }
    Q_EMIT visibleFilesChanged();
}

void MegaFolderBrowserModel::load()
{
    cancel();
    stopSearch();
    setError(QString());
    m_tree.reset();
    Q_EMIT treeChanged();
    m_visibleFiles = {};
    Q_EMIT visibleFilesChanged();
    setSelected({});

    const auto link = MegaFolderLink::parse(m_sourceURL);
    if (!link) {
        setError(link.error().message);
        return;
    }
    m_generation = QUuid::createUuid();
    auto *fetch = new MegaFolderFetch(this, m_generation);
    m_fetch = fetch;
    m_decode = fetch->decode();
    setLoading(true);
    fetch->start(m_executable, m_sourceURL);
}

void MegaFolderBrowserModel::cancel()
{
    m_generation = QUuid::createUuid();
    if (m_fetch)
        m_fetch->abandon();
    if (m_decode)
        m_decode->cancel();
    m_fetch = nullptr;
    m_decode = nullptr;
    setLoading(false);
}

void MegaFolderBrowserModel::startFailed(const QString &description, const QUuid &requestID)
{
    if (requestID != m_generation)
        return;
    m_fetch = nullptr;
    setLoading(false);
    setError(QStringLiteral("Could not start the MEGA folder browser: ") + description);
}

void MegaFolderBrowserModel::finish(const QByteArray &head, int status, const std::optional<QString> &readError,
                                    const QUuid &requestID, const std::shared_ptr<ListingDecode> &decode)
{
    if (requestID != m_generation || readError || status != 0)
        decode->cancel();
    if (requestID != m_generation)
        return;
    m_fetch = nullptr;
    if (readError) {
        setLoading(false);
        setError(*readError);
        return;
    }
    if (status != 0) {
        setLoading(false);
        const QString text = QString::fromUtf8(head).trimmed();
        if (text.startsWith(QLatin1String("ERROR:"))) {
            QStringView message = QStringView(text).sliced(6);
            while (!message.isEmpty() && (message.front() == QLatin1Char(' ') || message.front() == QLatin1Char('\t')))
                message = message.sliced(1);
            while (!message.isEmpty() && (message.back() == QLatin1Char(' ') || message.back() == QLatin1Char('\t')))
                message.chop(1);
            setError(message.toString());
        } else {
            setError(QStringLiteral("Could not fetch the folder. Check your connection and try again."));
        }
        return;
    }
    // The listing was read as it came; its tree is built off the main
    // thread while the panel keeps showing the loading state.
    QPointer<MegaFolderBrowserModel> self(this);
    decode->finish([self, requestID](std::shared_ptr<MegaFolderTree> tree) {
        QMetaObject::invokeMethod(
            qApp,
            [self, tree = std::move(tree), requestID] {
                if (self)
                    self->decoded(tree, requestID);
            },
            Qt::QueuedConnection);
    });
}

qint64 MegaFolderBrowserModel::itemsRead() const
{
    return m_isLoading && m_decode ? m_decode->nodesRead() : 0;
}

void MegaFolderBrowserModel::decoded(const std::shared_ptr<MegaFolderTree> &tree, const QUuid &requestID)
{
    if (requestID != m_generation)
        return;
    m_decode = nullptr;
    setLoading(false);
    if (!tree) {
        setError(QStringLiteral("Could not read the MEGA file list. Please fetch the folder again."));
        return;
    }
    m_tree = tree;
    const std::optional<QString> initialFile = m_tree->listing().initialFileID;
    m_currentFolder = m_tree->listing().initialFolderID;
    Q_EMIT treeChanged();
    Q_EMIT currentFolderChanged();
    if (initialFile) {
        const MegaFolderNode *node = m_tree->node(*initialFile);
        setVideosOnly(node && node->isVideo());
        setSelected({*initialFile});
    }
    refreshFiles();
}

void MegaFolderBrowserModel::navigate(const QString &id)
{
    const MegaFolderNode *node = m_tree ? m_tree->node(id) : nullptr;
    if (!node || !node->isFolder)
        return;
    m_currentFolder = id;
    Q_EMIT currentFolderChanged();
    setSelectedOnly(false);
    setSearch(QString());
    refreshFiles();
}

void MegaFolderBrowserModel::toggle(const QString &id)
{
    QSet<QString> selected = m_selected;
    if (!selected.remove(id))
        selected.insert(id);
    setSelected(selected);
}

void MegaFolderBrowserModel::selectVisible()
{
    // A search still under way is finished here: what is chosen is what it finds.
    if (m_searchCancelled) {
        stopSearch();
        m_visibleFiles = m_tree->files(m_currentFolder, m_recursive, m_videosOnly, m_search);
        Q_EMIT visibleFilesChanged();
    }
    QSet<QString> selected = m_selected;
    for (const MegaFolderNode &node : m_visibleFiles)
        selected.insert(node.id);
    setSelected(selected);
}
