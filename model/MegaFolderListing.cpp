#include "model/MegaFolderListing.h"

#include "model/JsonFields.h"

#include <QJsonArray>
#include <QJsonDocument>

QByteArray MegaFolderListing::headJsonText() const
{
    QJsonObject object{
        {QLatin1String("sourceURL"), sourceURL},
        {QLatin1String("shareHandle"), shareHandle},
        {QLatin1String("rootID"), rootID},
        {QLatin1String("initialFolderID"), initialFolderID},
        {QLatin1String("skippedNodes"), skippedNodes},
    };
    if (initialFileID)
        object.insert(QLatin1String("initialFileID"), *initialFileID);
    QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Compact);
    text.chop(1);
    return text + ",\"nodes\":[";
}

QByteArray MegaFolderListing::toJsonText() const
{
    QByteArray text = headJsonText();
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        if (i > 0)
            text.append(',');
        nodes[i].appendJsonText(text);
    }
    return text + "]}";
}

namespace {

// The fields beside the nodes; nodes are added to what this returns.
std::optional<MegaFolderListing> listingFields(const QJsonObject &object)
{
    JsonFields fields(object);
    MegaFolderListing listing;
    listing.sourceURL = fields.string(QLatin1String("sourceURL"));
    listing.shareHandle = fields.string(QLatin1String("shareHandle"));
    listing.rootID = fields.string(QLatin1String("rootID"));
    listing.initialFolderID = fields.string(QLatin1String("initialFolderID"));
    listing.initialFileID = fields.optionalString(QLatin1String("initialFileID"));
    listing.skippedNodes = fields.integer(QLatin1String("skippedNodes"));
    fields.array(QLatin1String("nodes"));
    if (!fields.ok())
        return std::nullopt;
    return listing;
}

} // namespace

std::optional<MegaFolderListing> MegaFolderListing::fromJsonText(const QByteArray &text)
{
    MegaFolderListingReader reader;
    reader.feed(text);
    return reader.finish();
}

MegaFolderListingReader::MegaFolderListingReader() :
    m_stream("nodes", 1, [this](QByteArrayView element) {
        auto node = m_nodesValid ? MegaFolderNode::fromJsonText(element) : std::nullopt;
        if (node && node->parent) {
            // Siblings share one copy of their parent's id.
            const auto known = m_parents.constFind(*node->parent);
            if (known != m_parents.cend())
                node->parent = *known;
            else
                m_parents.insert(*node->parent);
        }
        if (node)
            m_listing.nodes.append(std::move(*node));
        else
            m_nodesValid = false;
    })
{}

bool MegaFolderListingReader::feed(QByteArrayView text)
{
    return m_stream.feed(text) && m_nodesValid;
}

std::optional<MegaFolderListing> MegaFolderListingReader::finish()
{
    const auto rest = m_stream.finish();
    const auto object = rest ? parseJsonObject(*rest) : std::nullopt;
    auto fields = object && m_nodesValid ? listingFields(*object) : std::nullopt;
    if (!fields)
        return std::nullopt;
    fields->nodes = std::move(m_listing.nodes);
    return fields;
}
