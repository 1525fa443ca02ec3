#pragma once

#include "model/MegaModelError.h"
#include "model/Result.h"

#include <QString>

#include <optional>

// The MEGA web hosts a link may name; the first is the primary one.
namespace MegaHosts {
inline constexpr const char *primary = "mega.nz";
inline constexpr const char *legacy = "mega.co.nz";
} // namespace MegaHosts

// A public MEGA folder link, built only by parsing.
class MegaFolderLink {
public:
    // Cheap test whether pasted text is meant as a folder link; does not
    // validate the handle or the key.
    static bool recognizes(const QString &text);

    static Result<MegaFolderLink, MegaModelError> parse(const QString &text);

    const QString &handle() const { return m_handle; }
    const QString &key() const { return m_key; }
    const std::optional<QString> &selectedHandle() const { return m_selectedHandle; }
    bool selectedIsFile() const { return m_selectedIsFile; }

    // The share's normalised link, without any selected subfolder or file.
    QString canonicalURL() const;

    bool operator==(const MegaFolderLink &) const = default;

private:
    MegaFolderLink() = default;

    QString m_handle;
    QString m_key;
    std::optional<QString> m_selectedHandle;
    bool m_selectedIsFile = false;
};
