#pragma once

#include <QString>

#include <optional>

// One parsed "LARK_PROGRESS|percent|speed|eta|size" line.
struct ParsedProgress {
    double percent = 0; // always within 0 to 100
    QString speed;
    QString eta;
    QString size;

    static std::optional<ParsedProgress> parse(QStringView line);

    bool operator==(const ParsedProgress &) const = default;
};
