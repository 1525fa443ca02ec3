#include "model/JsonArrayStream.h"

#include <cstring>

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

bool isScalarCharacter(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '-' || c == '+' || c == '.' || c == 'E';
}

} // namespace

JsonArrayStream::JsonArrayStream(QByteArray key, int objectDepth, Element element, qsizetype maxElementBytes,
                                 qsizetype maxRestBytes) :
    m_key(std::move(key)),
    m_objectDepth(objectDepth),
    m_element(std::move(element)),
    m_maxElementBytes(maxElementBytes),
    m_maxRestBytes(maxRestBytes)
{}

bool JsonArrayStream::keep(QByteArrayView text)
{
    QByteArray &target = m_inElement ? m_elementText : m_rest;
    if (text.size() == 1)
        target.append(text.front());
    else
        target.append(text.data(), text.size());
    if (target.size() > (m_inElement ? m_maxElementBytes : m_maxRestBytes))
        m_failed = true;
    return !m_failed;
}

void JsonArrayStream::endElement()
{
    m_element(m_elementText);
    m_elementText.resize(0); // keeps its buffer for the next element
    m_inElement = false;
}

bool JsonArrayStream::feed(QByteArrayView text)
{
    qsizetype at = 0;
    while (!m_failed && at < text.size()) {
        if (m_inString) {
            // The bulk of the text: run to the next quote or backslash.
            qsizetype end = at;
            if (m_escaped) {
                m_escaped = false;
                m_keyMatched = -1;
                ++end;
            }
            while (end < text.size() && text[end] != '"' && text[end] != '\\')
                ++end;
            const QByteArrayView run = text.sliced(at, end - at);
            if (m_state == State::key && m_keyMatched >= 0) {
                if (m_keyMatched + run.size() <= m_key.size() &&
                    std::memcmp(m_key.constData() + m_keyMatched, run.data(), static_cast<size_t>(run.size())) == 0)
                    m_keyMatched += run.size();
                else
                    m_keyMatched = -1;
            }
            if (!keep(run) || end == text.size())
                return !m_failed;
            at = end;
            if (text[at] == '\\') {
                m_escaped = true;
                keep(text.sliced(at, 1));
                ++at;
                continue;
            }
            // The closing quote.
            keep(text.sliced(at, 1));
            ++at;
            m_inString = false;
            if (m_state == State::key) {
                m_state = State::colon;
            } else {
                m_state = State::afterValue;
                m_nextIsTarget = false;
                if (m_inElement && static_cast<int>(m_containers.size()) == m_arrayDepth)
                    endElement();
            }
            continue;
        }
        if (!step(text[at]))
            return false;
        ++at;
    }
    return !m_failed;
}

// One character outside a string. A number or literal that ends here ends
// its value first, and the character is then read in its own right.
bool JsonArrayStream::step(char c)
{
    if (m_scalar) {
        if (isScalarCharacter(c))
            return keep(QByteArrayView(&c, 1));
        m_scalar = false;
        m_state = State::afterValue;
        if (m_containers.empty())
            m_ended = true;
        if (m_inElement && static_cast<int>(m_containers.size()) == m_arrayDepth)
            endElement();
    }
    if (isSpace(c))
        return true;
    if (m_ended)
        return !(m_failed = true);

    // Between the elements of the streamed array: commas and its end.
    if (m_arrayDepth > 0 && !m_inElement && static_cast<int>(m_containers.size()) == m_arrayDepth) {
        if (c == ',') {
            if (m_state != State::afterValue)
                return !(m_failed = true);
            m_state = State::value;
            m_sawComma = true;
            return true;
        }
        if (c == ']') {
            if (m_sawComma && m_state == State::value)
                return !(m_failed = true);
            m_containers.pop_back();
            m_arrayDepth = 0;
            m_state = State::afterValue;
            return keep("]");
        }
        if (m_state != State::value)
            return !(m_failed = true);
        m_inElement = true;
    }

    switch (c) {
    case '{':
    case '[': {
        if (m_state != State::value)
            return !(m_failed = true);
        const bool target = c == '[' && m_nextIsTarget;
        m_nextIsTarget = false;
        m_containers.push_back(c);
        m_state = c == '{' ? State::key : State::value;
        if (target) {
            m_arrayDepth = static_cast<int>(m_containers.size());
            m_sawComma = false;
        }
        return keep(QByteArrayView(&c, 1));
    }
    case '}':
    case ']': {
        const char open = c == '}' ? '{' : '[';
        // An empty object or array closes where a key or value could start.
        const bool closable = m_state == State::afterValue || (c == '}' && m_state == State::key) ||
                              (c == ']' && m_state == State::value);
        if (m_containers.empty() || m_containers.back() != open || !closable)
            return !(m_failed = true);
        m_containers.pop_back();
        if (!keep(QByteArrayView(&c, 1)))
            return false;
        m_state = State::afterValue;
        if (m_containers.empty())
            m_ended = true;
        if (m_inElement && static_cast<int>(m_containers.size()) == m_arrayDepth)
            endElement();
        return true;
    }
    case ':':
        if (m_state != State::colon)
            return !(m_failed = true);
        m_state = State::value;
        m_nextIsTarget = m_keyMatched == m_key.size() && !m_inElement && m_arrayDepth == 0 &&
                         static_cast<int>(m_containers.size()) == m_objectDepth;
        return keep(":");
    case ',':
        if (m_state != State::afterValue || m_containers.empty())
            return !(m_failed = true);
        m_state = m_containers.back() == '{' ? State::key : State::value;
        return keep(",");
    case '"':
        if (m_state != State::key && m_state != State::value)
            return !(m_failed = true);
        if (m_state == State::value)
            m_nextIsTarget = false;
        m_keyMatched = 0;
        m_inString = true;
        return keep("\"");
    default:
        if (m_state != State::value || !isScalarCharacter(c))
            return !(m_failed = true);
        m_nextIsTarget = false;
        m_scalar = true;
        return keep(QByteArrayView(&c, 1));
    }
}

std::optional<QByteArray> JsonArrayStream::finish()
{
    if (m_scalar && m_containers.empty()) {
        m_scalar = false;
        m_ended = true;
    }
    if (m_failed || !m_ended || m_inString)
        return std::nullopt;
    return m_rest;
}
