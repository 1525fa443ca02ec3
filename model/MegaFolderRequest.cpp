#include "model/MegaFolderRequest.h"

MegaFolderRequest::MegaFolderRequest(QString link) : id(QUuid::createUuid()), url(std::move(link))
{}
