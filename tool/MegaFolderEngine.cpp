#include "tool/MegaFolderEngine.h"

#include "model/JsonFields.h"
#include "model/MegaBase64.h"
#include "tool/HttpClient.h"
#include "tool/MegaApi.h"
#include "tool/MegaCrypto.h"

#include <QHash>
#include <QJsonArray>
#include <QSet>

#include <cmath>

namespace MegaFolderEngine {

namespace {

struct NodeSecret {
    QByteArray key;
    QString name;
};

// Tries each "/"-separated part of an encrypted node key until one decrypts
// to a key of the right length that opens the attribute block.
std::optional<NodeSecret> nodeSecret(const QString &keyField, const QString &attributes, bool isFolder,
                                     const QByteArray &folderKey)
{
    const qsizetype keySize = isFolder ? 16 : 32;
    for (const QString &part : keyField.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        const QString keyText = part.sliced(part.lastIndexOf(QLatin1Char(':')) + 1);
        const auto encrypted = megaBase64Data(keyText);
        if (!encrypted || encrypted->size() != keySize)
            continue;
        const auto key = crypt(*encrypted, folderKey, QByteArray(16, '\0'), false, true);
        if (!key)
            continue;
        const auto name = megaAttributeName(attributes, *key);
        if (!name)
            continue;
        return NodeSecret{*key, *name};
    }
    return std::nullopt;
}

// "s" as a signed 64-bit size; non-numbers count as 0.
std::optional<qint64> nodeSize(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    if (const auto integer = strictInteger(value))
        return *integer;
    const double number = value.toDouble();
    if (number >= 9223372036854775808.0)
        return std::numeric_limits<qint64>::max();
    return static_cast<qint64>(std::trunc(number));
}

} // namespace

MegaResult<MegaFolderListing> fetch(const QString &url)
{
    const auto link = MegaFolderLink::parse(url);
    if (!link)
        return MegaError{link.error().message};
    HttpClient client(std::chrono::seconds(180));
    const QJsonObject command{{QLatin1String("a"), QStringLiteral("f")},
                              {QLatin1String("c"), 1},
                              {QLatin1String("r"), 1},
                              {QLatin1String("ca"), 1}};
    const auto response = megaAPI(client, command, link->handle());
    if (!response)
        return response.error();
    return decode(*response, *link);
}

MegaResult<MegaFolderListing> decode(const QJsonObject &response, const MegaFolderLink &link)
{
    const QJsonValue entriesValue = response.value(QLatin1String("f"));
    const QJsonArray entries = entriesValue.toArray();
    const bool allObjects =
        std::all_of(entries.begin(), entries.end(), [](const QJsonValue &v) { return v.isObject(); });
    if (!entriesValue.isArray() || entries.isEmpty() || !allObjects)
        return megaError("MEGA returned no folder information. The link may have expired.");

    const auto folderKey = megaBase64Data(link.key());
    if (!folderKey)
        return megaError("Invalid MEGA folder key.");

    MegaFolderListing listing;
    listing.sourceURL = link.canonicalURL();
    listing.shareHandle = link.handle();
    QSet<QString> seen;
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        const QJsonValue handleValue = entry.value(QLatin1String("h"));
        const auto type = strictInteger(entry.value(QLatin1String("t")));
        const QString handle = handleValue.toString();
        if (!handleValue.isString() || !validMegaHandle(handle) || !type || (*type != 0 && *type != 1)) {
            ++listing.skippedNodes;
            continue;
        }
        if (seen.contains(handle)) {
            ++listing.skippedNodes;
            continue;
        }
        seen.insert(handle);
        const QJsonValue keyValue = entry.value(QLatin1String("k"));
        const QJsonValue attributesValue = entry.value(QLatin1String("a"));
        const bool isFolder = *type == 1;
        const auto secret = keyValue.isString() && attributesValue.isString()
                                ? nodeSecret(keyValue.toString(), attributesValue.toString(), isFolder, *folderKey)
                                : std::nullopt;
        const auto size = nodeSize(entry.value(QLatin1String("s")));
        if (!secret || !size || *size < 0) {
            ++listing.skippedNodes;
            continue;
        }
        const QJsonValue parent = entry.value(QLatin1String("p"));
        listing.nodes.append(MegaFolderNode{handle, parent.isString() ? std::optional(parent.toString()) : std::nullopt,
                                            secret->name, isFolder, *size,
                                            isFolder ? QString() : megaKeyString(secret->key)});
    }

    QHash<QString, qsizetype> byID;
    for (qsizetype i = 0; i < listing.nodes.size(); ++i)
        byID.insert(listing.nodes[i].id, i);
    const auto root = std::find_if(listing.nodes.cbegin(), listing.nodes.cend(), [&byID](const MegaFolderNode &node) {
        return node.isFolder && (!node.parent || !byID.contains(*node.parent));
    });
    if (root == listing.nodes.cend())
        return megaError("Could not decrypt this folder. Check that the full link and key are correct.");
    listing.rootID = root->id;

    const auto &selected = link.selectedHandle();
    if (!selected) {
        listing.initialFolderID = listing.rootID;
        return listing;
    }
    if (!byID.contains(*selected))
        return megaError("The linked subfolder or file is missing or could not be decrypted. Paste the root folder "
                         "link to browse available files.");
    const MegaFolderNode &target = listing.nodes[byID.value(*selected)];
    if (link.selectedIsFile()) {
        const bool parentIsFolder =
            target.parent && byID.contains(*target.parent) && listing.nodes[byID.value(*target.parent)].isFolder;
        if (target.isFolder || !parentIsFolder)
            return megaError("The file link does not point to an available file.");
        listing.initialFolderID = *target.parent;
        listing.initialFileID = target.id;
    } else {
        if (!target.isFolder)
            return megaError("The subfolder link points to a file instead of a folder.");
        listing.initialFolderID = target.id;
    }
    return listing;
}

} // namespace MegaFolderEngine
