#include "model/MegaFolderNode.h"

#include "model/ByteCount.h"
#include "model/JsonFields.h"

#include <QStringDecoder>

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
        {QLatin1String("id"), id},     {QLatin1String("name"), name},          {QLatin1String("isFolder"), isFolder},
        {QLatin1String("size"), size}, {QLatin1String("key"), key.toString()},
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
    appendJsonString(out, key.toString());
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
    const auto key = MegaFileKey::fromText(fields.string(QLatin1String("key")).toUtf8());
    if (!fields.ok() || !key)
        return std::nullopt;
    node.key = *key;
    return node;
}

namespace {

// Reads the flat objects the tool writes, a few times faster than a JSON
// document: anything it does not expect (nesting, a repeated key, an
// unusual number, text that may be invalid) is left to the full parser.
class FlatReader {
public:
    explicit FlatReader(QByteArrayView text) : m_text(text) {}

    std::optional<MegaFolderNode> read()
    {
        MegaFolderNode node;
        unsigned seen = 0;
        space();
        if (!take('{'))
            return std::nullopt;
        space();
        if (take('}'))
            return std::nullopt; // required fields missing: the full parser says the same
        for (;;) {
            QByteArrayView key;
            if (!plainKey(key))
                return std::nullopt;
            space();
            if (!take(':'))
                return std::nullopt;
            space();
            const unsigned bit = key == "id"         ? 1
                                 : key == "name"     ? 2
                                 : key == "isFolder" ? 4
                                 : key == "size"     ? 8
                                 : key == "key"      ? 16
                                 : key == "parent"   ? 32
                                                     : 0;
            if (bit & seen)
                return std::nullopt;
            seen |= bit;
            bool ok = false;
            switch (bit) {
            case 1:
                ok = string(node.id);
                break;
            case 2:
                ok = string(node.name);
                break;
            case 4:
                ok = boolean(node.isFolder);
                break;
            case 8:
                ok = integer(node.size);
                break;
            case 16:
                ok = ascii(node.key);
                break;
            case 32: {
                QString parent;
                if (literal("null")) {
                    ok = true;
                } else if (string(parent)) {
                    node.parent = parent;
                    ok = true;
                }
                break;
            }
            default:
                ok = skipScalar();
            }
            if (!ok)
                return std::nullopt;
            space();
            if (take('}'))
                break;
            if (!take(','))
                return std::nullopt;
            space();
        }
        space();
        if (m_at != m_text.size() || (seen & 31) != 31)
            return std::nullopt;
        return node;
    }

private:
    void space()
    {
        while (m_at < m_text.size() &&
               (m_text[m_at] == ' ' || m_text[m_at] == '\n' || m_text[m_at] == '\r' || m_text[m_at] == '\t'))
            ++m_at;
    }
    bool take(char c)
    {
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool literal(QByteArrayView word)
    {
        if (!m_text.sliced(m_at).startsWith(word))
            return false;
        m_at += word.size();
        return true;
    }
    // A key, or any string of plain ASCII without escapes.
    bool plainKey(QByteArrayView &key)
    {
        if (!take('"'))
            return false;
        const qsizetype start = m_at;
        while (m_at < m_text.size() && m_text[m_at] != '"') {
            const auto c = static_cast<unsigned char>(m_text[m_at]);
            if (c == '\\' || c < 0x20 || c >= 0x80)
                return false;
            ++m_at;
        }
        key = m_text.sliced(start, m_at - start);
        return take('"');
    }
    // Plain ASCII text without escapes; anything else is left to the full parser.
    bool ascii(MegaFileKey &out)
    {
        QByteArrayView text;
        if (!plainKey(text))
            return false;
        const auto key = MegaFileKey::fromText(text);
        if (key)
            out = *key;
        return key.has_value();
    }
    bool string(QString &out)
    {
        if (!take('"'))
            return false;
        const qsizetype start = m_at;
        bool ascii = true;
        while (m_at < m_text.size() && m_text[m_at] != '"') {
            const auto c = static_cast<unsigned char>(m_text[m_at]);
            if (c == '\\' || c < 0x20)
                return false; // escapes and control characters: the full parser
            ascii = ascii && c < 0x80;
            ++m_at;
        }
        if (m_at == m_text.size())
            return false;
        const QByteArrayView run = m_text.sliced(start, m_at - start);
        ++m_at;
        if (ascii) {
            out = QString::fromLatin1(run);
            return true;
        }
        QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
        out = decoder.decode(run);
        return !decoder.hasError();
    }
    bool boolean(bool &out)
    {
        if (literal("true"))
            out = true;
        else if (literal("false"))
            out = false;
        else
            return false;
        return true;
    }
    // Whole numbers of up to 18 digits, which no reading can round.
    bool integer(qint64 &out)
    {
        const bool negative = take('-');
        const qsizetype start = m_at;
        qint64 value = 0;
        const auto digit = [this] { return m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9'; };
        while (digit() && m_at - start < 18) {
            value = value * 10 + (m_text[m_at] - '0');
            ++m_at;
        }
        const qsizetype digits = m_at - start;
        if (digits == 0 || digit() || (digits > 1 && m_text[start] == '0') || (negative && value == 0))
            return false;
        if (m_at < m_text.size() && (m_text[m_at] == '.' || m_text[m_at] == 'e' || m_text[m_at] == 'E'))
            return false;
        out = negative ? -value : value;
        return true;
    }
    bool skipScalar()
    {
        QString ignored;
        bool flag = false;
        qint64 number = 0;
        return literal("null") || boolean(flag) || (m_at < m_text.size() && m_text[m_at] == '"' && string(ignored)) ||
               integer(number);
    }

    QByteArrayView m_text;
    qsizetype m_at = 0;
};

} // namespace

std::optional<MegaFolderNode> MegaFolderNode::fromJsonText(QByteArrayView text)
{
    if (auto node = FlatReader(text).read())
        return node;
    const auto object = parseJsonObject(text.toByteArray());
    return object ? fromJson(*object) : std::nullopt;
}
