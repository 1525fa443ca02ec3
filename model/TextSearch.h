#pragma once

#include <QString>

// Case-insensitive substring search that still tells accented letters apart.
// Both sides are brought to the same Unicode composition first, so a name
// stored decomposed matches a search typed composed.
class TextSearch {
public:
    explicit TextSearch(const QString &needle);

    bool isEmpty() const { return m_needle.isEmpty(); }
    bool matches(const QString &haystack) const;

private:
    QString m_needle;
};
