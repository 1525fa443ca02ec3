#include "model/MegaFolderLink.h"

#include "model/MegaBase64.h"

#include <QUrl>

namespace {

const QString pasteMessage = QStringLiteral("Paste a public MEGA folder link, including its decryption key.");
const QString legacyMessage = QStringLiteral("Invalid legacy MEGA folder link.");
const QString addressMessage = QStringLiteral("Invalid MEGA folder address.");
const QString selectionMessage = QStringLiteral("The MEGA folder link has an invalid subfolder or file address.");
const QString identifierMessage = QStringLiteral("Invalid MEGA folder or file identifier.");
const QString keyMessage =
    QStringLiteral("The MEGA folder key is missing or invalid. Paste the full link including everything after #.");

bool acceptedHost(const QString &host)
{
    const QString primary = QLatin1String(MegaHosts::primary);
    const QString legacy = QLatin1String(MegaHosts::legacy);
    const QString lower = host.toLower();
    return lower == primary || lower == QLatin1String("www.") + primary || lower == legacy ||
           lower == QLatin1String("www.") + legacy;
}

QUrl absoluteUrl(const QString &text)
{
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative())
        return {};
    return url;
}

QStringList pathComponents(const QUrl &url)
{
    return url.path(QUrl::FullyDecoded).split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

MegaModelError failure(const QString &message)
{
    return MegaModelError{message};
}

} // namespace

bool MegaFolderLink::recognizes(const QString &text)
{
    const QUrl url = absoluteUrl(text);
    if (url.isEmpty() || !acceptedHost(url.host()))
        return false;
    const QStringList components = pathComponents(url);
    if (!components.isEmpty() && components.first() == QLatin1String("folder"))
        return true;
    return url.fragment(QUrl::FullyDecoded).startsWith(QLatin1String("F!"));
}

Result<MegaFolderLink, MegaModelError> MegaFolderLink::parse(const QString &text)
{
    if (!recognizes(text))
        return failure(pasteMessage);
    const QUrl url = absoluteUrl(text);
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http"))
        return failure(pasteMessage);

    const QStringList components = pathComponents(url);
    const QString fragment = url.fragment(QUrl::FullyDecoded);

    MegaFolderLink link;
    QString keyText;
    if (fragment.startsWith(QLatin1String("F!"))) {
        const QStringList pieces = fragment.split(QLatin1Char('!'));
        if (pieces.size() != 3 && pieces.size() != 4)
            return failure(legacyMessage);
        link.m_handle = pieces[1];
        keyText = pieces[2];
        if (pieces.size() == 4 && !pieces[3].isEmpty())
            link.m_selectedHandle = pieces[3];
    } else {
        if (components.size() != 2)
            return failure(addressMessage);
        link.m_handle = components[1];
        const QStringList pieces = fragment.split(QLatin1Char('/'));
        if (pieces.size() == 1) {
            keyText = pieces[0];
        } else if (pieces.size() == 3) {
            keyText = pieces[0];
            if (pieces[1] != QLatin1String("folder") && pieces[1] != QLatin1String("file"))
                return failure(selectionMessage);
            link.m_selectedHandle = pieces[2];
            link.m_selectedIsFile = pieces[1] == QLatin1String("file");
        } else {
            return failure(selectionMessage);
        }
    }

    if (!validMegaHandle(link.m_handle))
        return failure(identifierMessage);
    if (link.m_selectedHandle && !validMegaHandle(*link.m_selectedHandle))
        return failure(identifierMessage);
    const auto key = megaBase64Data(keyText);
    if (keyText.size() != 22 || !key || key->size() != 16)
        return failure(keyMessage);
    link.m_key = keyText;
    return link;
}

QString MegaFolderLink::canonicalURL() const
{
    return QLatin1String("https://") + QLatin1String(MegaHosts::primary) + QLatin1String("/folder/") + m_handle +
           QLatin1Char('#') + m_key;
}
