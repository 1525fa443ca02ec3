#include "model/TextSearch.h"

#include <algorithm>

namespace {

// Text without combining marks or other characters from U+0300 on is already
// composed; checking that is far cheaper than normalizing.
QString composed(const QString &text)
{
    const bool simple = std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x300; });
    return simple ? text : text.normalized(QString::NormalizationForm_C);
}

} // namespace

TextSearch::TextSearch(const QString &needle) : m_needle(composed(needle))
{}

bool TextSearch::matches(const QString &haystack) const
{
    return m_needle.isEmpty() || composed(haystack).contains(m_needle, Qt::CaseInsensitive);
}
