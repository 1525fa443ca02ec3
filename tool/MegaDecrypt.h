#pragma once

#include "tool/MegaError.h"
#include "tool/MegaLink.h"

#include <QString>

// Size of the k-th chunk (from 1) over which MEGA computes its chunk MACs.
qint64 megaChunkSize(int index);

// Decrypts the complete ciphertext in input into output (created 0600,
// replacing any earlier one) and checks it against the file key's MAC. On a
// mismatch output is removed; input is never touched.
MegaResult<Done> decryptFile(const QString &input, const QString &output, const MegaLink &link);
