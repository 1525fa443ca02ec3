#pragma once

#include "tool/MegaError.h"

#include <QByteArray>
#include <QString>

// A file to download: its node handle and 32-byte file key.
class MegaLink {
public:
    // Parses a public file link (current or legacy form).
    static MegaResult<MegaLink> parse(const QString &text);
    // From parts; "Invalid MEGA file information." unless both are usable.
    static MegaResult<MegaLink> fromParts(const QString &handle, const QByteArray &key);

    const QString &handle() const { return m_handle; }
    const QByteArray &key() const { return m_key; }
    QByteArray aesKey() const;
    QByteArray nonce() const;
    QByteArray expectedMac() const;

private:
    MegaLink(QString handle, QByteArray key) : m_handle(std::move(handle)), m_key(std::move(key)) {}

    QString m_handle;
    QByteArray m_key;
};
