#include "model/TextSearch.h"

TextSearch::TextSearch(const QString &needle) : m_needle(fold(needle)) {}

QString TextSearch::fold(const QString &text)
{
    return text.normalized(QString::NormalizationForm_C).toCaseFolded();
}

bool TextSearch::matches(const QString &haystack) const
{
    if (m_needle.isEmpty())
        return true;
    return fold(haystack).contains(m_needle);
}
