#pragma once

#include <QString>
#include <QStringList>

struct AcceptedURLs {
    QStringList urls; // each accepted link once, unchanged, in order of first appearance
    int invalid = 0;  // tokens that were not acceptable links
};

// Splits pasted text at white space and keeps the http and https links.
AcceptedURLs acceptedURLs(const QString &text);
