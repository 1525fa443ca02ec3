#include "model/MegaFolderListing.h"

#include "model/JsonFields.h"

#include <QJsonArray>
#include <QJsonDocument>

QJsonObject MegaFolderListing::toJson() const
{
    QJsonArray nodeArray;
    for (const MegaFolderNode &node : nodes)
        nodeArray.append(node.toJson());
    QJsonObject object{
        {QLatin1String("sourceURL"), sourceURL}, {QLatin1String("shareHandle"), shareHandle},
        {QLatin1String("rootID"), rootID},       {QLatin1String("initialFolderID"), initialFolderID},
        {QLatin1String("nodes"), nodeArray},     {QLatin1String("skippedNodes"), skippedNodes},
    };
    if (initialFileID)
        object.insert(QLatin1String("initialFileID"), *initialFileID);
    return object;
}

QByteArray MegaFolderListing::toJsonText() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

std::optional<MegaFolderListing> MegaFolderListing::fromJson(const QJsonObject &object)
{
    JsonFields fields(object);
    MegaFolderListing listing;
    listing.sourceURL = fields.string(QLatin1String("sourceURL"));
    listing.shareHandle = fields.string(QLatin1String("shareHandle"));
    listing.rootID = fields.string(QLatin1String("rootID"));
    listing.initialFolderID = fields.string(QLatin1String("initialFolderID"));
    listing.initialFileID = fields.optionalString(QLatin1String("initialFileID"));
    listing.skippedNodes = fields.integer(QLatin1String("skippedNodes"));
    const QJsonArray nodeArray = fields.array(QLatin1String("nodes"));
    if (!fields.ok())
        return std::nullopt;
    listing.nodes.reserve(nodeArray.size());
    for (const QJsonValue &value : nodeArray) {
        if (!value.isObject())
            return std::nullopt;
        auto node = MegaFolderNode::fromJson(value.toObject());
        if (!node)
            return std::nullopt;
        listing.nodes.append(std::move(*node));
    }
    return listing;
}

std::optional<MegaFolderListing> MegaFolderListing::fromJsonText(const QByteArray &text)
{
    const auto object = parseJsonObject(text);
    if (!object)
        return std::nullopt;
    return fromJson(*object);
}
