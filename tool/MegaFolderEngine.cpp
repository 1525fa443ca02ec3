#include "tool/MegaFolderEngine.h"

#include "model/JsonFields.h"
#include "model/MegaBase64.h"
#include "tool/HttpClient.h"
#include "tool/MegaApi.h"
#include "tool/MegaCrypto.h"

#include <QJsonArray>

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

// A handle as a number: its eight characters side by side; 0 for anything else.
quint64 handleNumber(QStringView text)
{
    if (!validMegaHandle(text))
        return 0;
    quint64 number = 0;
    for (const QChar c : text)
        number = (number << 8) | c.unicode();
    return number;
}

QString handleText(quint64 number)
{
    QString text(8, Qt::Uninitialized);
    for (int i = 7; i >= 0; --i, number >>= 8)
        text[i] = QChar(static_cast<char16_t>(number & 0xff));
    return text;
}

MegaError noFolderInformation()
{
    return megaError("MEGA returned no folder information. The link may have expired.");
}

} // namespace

Decoder::Decoder(const MegaFolderLink &link, QByteArray folderKey) : m_link(link), m_folderKey(std::move(folderKey))
{}

void Decoder::add(QByteArrayView entryText)
{
    const auto object = parseJsonObject(entryText.toByteArray());
    add(object ? QJsonValue(*object) : QJsonValue());
}

void Decoder::add(const QJsonValue &entryValue)
{
    // One entry that is not an object spoils the answer.
    if (!entryValue.isObject()) {
        m_malformed = true;
        return;
    }
    const QJsonObject entry = entryValue.toObject();
    const QJsonValue handleValue = entry.value(QLatin1String("h"));
    const auto type = strictInteger(entry.value(QLatin1String("t")));
    const QString handle = handleValue.toString();
    const quint64 number = handleNumber(handle);
    if (!handleValue.isString() || number == 0 || !type || (*type != 0 && *type != 1) || m_index.contains(number)) {
        ++m_skipped;
        return;
    }
    // A handle counts once, readable or not: a later copy of it is skipped.
    m_index.insert(number, -1);
    const QJsonValue keyValue = entry.value(QLatin1String("k"));
    const QJsonValue attributesValue = entry.value(QLatin1String("a"));
    const bool isFolder = *type == 1;
    const auto secret = keyValue.isString() && attributesValue.isString()
                            ? nodeSecret(keyValue.toString(), attributesValue.toString(), isFolder, m_folderKey)
                            : std::nullopt;
    const auto size = nodeSize(entry.value(QLatin1String("s")));
    if (!secret || !size || *size < 0) {
        ++m_skipped;
        return;
    }
    const auto key = isFolder ? MegaFileKey() : MegaFileKey::fromText(megaKeyString(secret->key).toLatin1());
    if (!key) {
        ++m_skipped;
        return;
    }
    m_index[number] = static_cast<qsizetype>(m_nodes.size());
    const QJsonValue parent = entry.value(QLatin1String("p"));
    const MegaFolderNode node{handle,       parent.isString() ? std::optional(parent.toString()) : std::nullopt,
                              secret->name, isFolder,
                              *size,        *key};
    m_nodes.push_back(Node{number, node.parent ? handleNumber(*node.parent) : 0, isFolder});
    if (!m_text.isEmpty())
        m_text.append(',');
    node.appendJsonText(m_text);
}

const Decoder::Node *Decoder::find(quint64 handle) const
{
    const auto found = m_index.constFind(handle);
    return handle == 0 || found == m_index.cend() || *found < 0 ? nullptr : &m_nodes[static_cast<size_t>(*found)];
}

MegaResult<ListingText> Decoder::finish()
{
    if (m_malformed || (m_nodes.empty() && m_skipped == 0))
        return noFolderInformation();
    MegaFolderListing listing;
    listing.sourceURL = m_link.canonicalURL();
    listing.shareHandle = m_link.handle();
    listing.skippedNodes = m_skipped;
    const auto root = std::find_if(m_nodes.cbegin(), m_nodes.cend(),
                                   [this](const Node &node) { return node.isFolder && !find(node.parent); });
    if (root == m_nodes.cend())
        return megaError("Could not decrypt this folder. Check that the full link and key are correct.");
    listing.rootID = handleText(root->handle);

    const auto &selected = m_link.selectedHandle();
    if (!selected) {
        listing.initialFolderID = listing.rootID;
    } else {
        const Node *target = find(handleNumber(*selected));
        if (!target)
            return megaError("The linked subfolder or file is missing or could not be decrypted. Paste the root "
                             "folder link to browse available files.");
        if (m_link.selectedIsFile()) {
            const Node *parent = find(target->parent);
            if (target->isFolder || !parent || !parent->isFolder)
                return megaError("The file link does not point to an available file.");
            listing.initialFolderID = handleText(parent->handle);
            listing.initialFileID = *selected;
        } else {
            if (!target->isFolder)
                return megaError("The subfolder link points to a file instead of a folder.");
            listing.initialFolderID = *selected;
        }
    }
    return ListingText{listing.headJsonText(), std::move(m_text), QByteArrayLiteral("]}")};
}

MegaResult<ListingText> fetch(const QString &url)
{
    const auto link = MegaFolderLink::parse(url);
    if (!link)
        return MegaError{link.error().message};
    const auto folderKey = megaBase64Data(link->key());
    if (!folderKey)
        return megaError("Invalid MEGA folder key.");
    HttpClient client(std::chrono::seconds(180));
    const QJsonObject command{{QLatin1String("a"), QStringLiteral("f")},
                              {QLatin1String("c"), 1},
                              {QLatin1String("r"), 1},
                              {QLatin1String("ca"), 1}};
    // A listing of a million nodes is some 200 MB of text: each entry is
    // decrypted as it arrives and only the node it makes is kept.
    std::optional<Decoder> decoder;
    const auto response = megaAPI(
        client, command, link->handle(), "f", [&] { decoder.emplace(*link, *folderKey); },
        [&decoder](QByteArrayView entry) { decoder->add(entry); });
    if (!response)
        return response.error();
    if (!response->value(QLatin1String("f")).isArray())
        return noFolderInformation();
    return decoder->finish();
}

MegaResult<ListingText> decode(const QJsonObject &response, const MegaFolderLink &link)
{
    const QJsonValue entries = response.value(QLatin1String("f"));
    if (!entries.isArray())
        return noFolderInformation();
    const auto folderKey = megaBase64Data(link.key());
    if (!folderKey)
        return megaError("Invalid MEGA folder key.");
    Decoder decoder(link, *folderKey);
    for (const QJsonValue &entry : entries.toArray())
        decoder.add(entry);
    return decoder.finish();
}

} // namespace MegaFolderEngine
