#include "tool/MegaLink.h"

#include "model/MegaBase64.h"
#include "model/MegaFolderLink.h"
#include "tool/MegaCrypto.h"

#include <QUrl>

namespace {

bool acceptedFileHost(const QString &host)
{
    const QString primary = QLatin1String(MegaHosts::primary);
    return host == primary || host == QLatin1String("www.") + primary || host == QLatin1String(MegaHosts::legacy);
}

} // namespace

MegaResult<MegaLink> MegaLink::parse(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || !acceptedFileHost(url.host().toLower()))
        return megaError("Invalid MEGA link.");

    const QStringList path = url.path(QUrl::FullyDecoded).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const QString fragment = url.fragment(QUrl::FullyDecoded);
    QString handle;
    QString keyText;
    if (path.size() == 2 && path[0] == QLatin1String("file")) {
        handle = path[1];
        keyText = fragment;
    } else if (fragment.startsWith(QLatin1Char('!'))) {
        const QStringList pieces = fragment.split(QLatin1Char('!'), Qt::SkipEmptyParts);
        if (pieces.size() != 2)
            return megaError("Paste the complete MEGA file link, including its key.");
        handle = pieces[0];
        keyText = pieces[1];
    } else {
        return megaError("Paste a public MEGA file link, or use Fetch folder to select files from a folder link.");
    }

    if (!validMegaHandle(handle))
        return megaError("Invalid MEGA file identifier.");
    const auto key = b64(keyText);
    if (!key)
        return key.error();
    if (key->size() != 32)
        return megaError("Paste the complete MEGA link with its 43-character decryption key.");
    return MegaLink(handle, *key);
}

MegaResult<MegaLink> MegaLink::fromParts(const QString &handle, const QByteArray &key)
{
    if (!validMegaHandle(handle) || key.size() != 32)
        return megaError("Invalid MEGA file information.");
    return MegaLink(handle, key);
}

QByteArray MegaLink::aesKey() const
{
    return foldedKey(m_key);
}

QByteArray MegaLink::nonce() const
{
    return fileNonce(m_key);
}

QByteArray MegaLink::expectedMac() const
{
    return m_key.mid(24, 8);
}
