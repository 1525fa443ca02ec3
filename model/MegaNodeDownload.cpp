#include "model/MegaNodeDownload.h"

#include "model/JsonFields.h"
#include "model/MegaBase64.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

QString MegaNodeDownload::identity() const
{
    return shareHandle + QLatin1Char(':') + nodeHandle;
}

std::optional<MegaModelError> MegaNodeDownload::validate() const
{
    const auto key = megaBase64Data(fileKey);
    const bool foldersFit =
        folders.size() <= maxFolderDepth &&
        std::none_of(folders.cbegin(), folders.cend(), [](const QString &f) { return f.isEmpty(); });
    if (validMegaHandle(shareHandle) && validMegaHandle(nodeHandle) && key && key->size() == 32 && size >= 0 &&
        foldersFit)
        return std::nullopt;
    return MegaModelError{QStringLiteral("Saved MEGA file information is invalid. Fetch the folder again.")};
}

QJsonObject MegaNodeDownload::toJson() const
{
    QJsonObject object{
        {QLatin1String("shareHandle"), shareHandle},
        {QLatin1String("nodeHandle"), nodeHandle},
        {QLatin1String("fileKey"), fileKey},
        {QLatin1String("name"), name},
        {QLatin1String("size"), size},
    };
    if (!folders.isEmpty())
        object.insert(QLatin1String("folders"), QJsonArray::fromStringList(folders));
    return object;
}

QByteArray MegaNodeDownload::toJsonText() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

std::optional<MegaNodeDownload> MegaNodeDownload::fromJson(const QJsonObject &object)
{
    JsonFields fields(object);
    MegaNodeDownload node;
    node.shareHandle = fields.string(QLatin1String("shareHandle"));
    node.nodeHandle = fields.string(QLatin1String("nodeHandle"));
    node.fileKey = fields.string(QLatin1String("fileKey"));
    node.name = fields.string(QLatin1String("name"));
    node.size = fields.integer(QLatin1String("size"));
    // Written by earlier versions without folders: the file goes straight into the download folder.
    if (const QJsonValue folders = object.value(QLatin1String("folders")); !folders.isUndefined()) {
        if (!folders.isArray())
            return std::nullopt;
        for (const QJsonValue &folder : folders.toArray()) {
            if (!folder.isString())
                return std::nullopt;
            node.folders.append(folder.toString());
        }
    }
    if (!fields.ok())
        return std::nullopt;
    return node;
}

std::optional<MegaNodeDownload> MegaNodeDownload::fromJsonText(const QByteArray &text)
{
    const auto object = parseJsonObject(text);
    if (!object)
        return std::nullopt;
    return fromJson(*object);
}
