#include "model/MegaFolderNode.h"

#include "model/ByteCount.h"
#include "model/JsonFields.h"

#include <array>

bool hasVideoExtension(const QString &name)
{
    static constexpr std::array<const char *, 20> extensions{"mp4", "mkv", "mov",  "m4v", "webm", "avi", "wmv",
                                                             "flv", "mpg", "mpeg", "3gp", "3g2",  "mts", "m2ts",
                                                             "ts",  "vob", "ogv",  "mxf", "m2v",  "f4v"};
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return false;
    const QString extension = name.sliced(dot + 1).toLower();
    return std::any_of(extensions.begin(), extensions.end(),
                       [&extension](const char *known) { return extension == QLatin1String(known); });
}

bool MegaFolderNode::isVideo() const
{
    return !isFolder && hasVideoExtension(name);
}

QString MegaFolderNode::formattedSize() const
{
    return formatByteCount(size);
}

QJsonObject MegaFolderNode::toJson() const
{
    QJsonObject object{
        {QLatin1String("id"), id},     {QLatin1String("name"), name}, {QLatin1String("isFolder"), isFolder},
        {QLatin1String("size"), size}, {QLatin1String("key"), key},
    };
    if (parent)
        object.insert(QLatin1String("parent"), *parent);
    return object;
}

void MegaFolderNode::appendJsonText(QByteArray &out) const
{
    out.append("{\"id\":");
    appendJsonString(out, id);
    out.append(",\"name\":");
    appendJsonString(out, name);
    out.append(isFolder ? ",\"isFolder\":true,\"size\":" : ",\"isFolder\":false,\"size\":");
    out.append(QByteArray::number(size));
    out.append(",\"key\":");
    appendJsonString(out, key);
    if (parent) {
        out.append(",\"parent\":");
        appendJsonString(out, *parent);
    }
    out.append('}');
}

std::optional<MegaFolderNode> MegaFolderNode::fromJson(const QJsonObject &object)
{
    JsonFields fields(object);
    MegaFolderNode node;
    node.id = fields.string(QLatin1String("id"));
    node.parent = fields.optionalString(QLatin1String("parent"));
    node.name = fields.string(QLatin1String("name"));
    node.isFolder = fields.boolean(QLatin1String("isFolder"));
    node.size = fields.integer(QLatin1String("size"));
    node.key = fields.string(QLatin1String("key"));
    if (!fields.ok())
        return std::nullopt;
    return node;
}
