#pragma once

#include "model/MegaFolderLink.h"
#include "model/MegaFolderListing.h"
#include "tool/MegaError.h"

#include <QJsonObject>

// Fetches a shared folder's node list and turns it into a decrypted listing.
namespace MegaFolderEngine {

MegaResult<MegaFolderListing> fetch(const QString &url);
MegaResult<MegaFolderListing> decode(const QJsonObject &response, const MegaFolderLink &link);

} // namespace MegaFolderEngine
