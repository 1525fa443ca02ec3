#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <functional>
#include <optional>
#include <vector>

// Reads JSON text as it arrives and hands over the elements of one array
// (the value of key in an object at objectDepth, 1 being the top value)
// one at a time, as their own text, so a list of millions is never held
// whole. The rest of the text is kept with that array left empty, for an
// ordinary parse at the end. Only the structure is followed here: each
// element and the rest are checked by the parser that reads them.
class JsonArrayStream {
public:
    using Element = std::function<void(QByteArrayView)>;

    JsonArrayStream(QByteArray key, int objectDepth, Element element, qsizetype maxElementBytes = 16 * 1048576,
                    qsizetype maxRestBytes = 16 * 1048576);

    // False once the text is malformed or an element or the rest is over its limit.
    bool feed(QByteArrayView text);
    // The rest of the text, or nothing when it was malformed or did not end.
    std::optional<QByteArray> finish();

private:
    enum class State { value, key, colon, afterValue };

    bool step(char c);
    void endElement();
    bool keep(QByteArrayView text);

    QByteArray m_key;
    int m_objectDepth;
    Element m_element;
    qsizetype m_maxElementBytes;
    qsizetype m_maxRestBytes;

    std::vector<char> m_containers; // '{' or '[' for each open one
    State m_state = State::value;
    bool m_inString = false;
    bool m_escaped = false;
    bool m_scalar = false;       // inside a number, true, false or null
    qsizetype m_keyMatched = 0;  // characters of the current key that match m_key, or -1
    bool m_nextIsTarget = false; // the value after this colon is the array to stream
    bool m_sawComma = false;
    int m_arrayDepth = 0; // depth of the streamed array while inside it, else 0
    bool m_inElement = false;
    QByteArray m_elementText;
    QByteArray m_rest;
    bool m_failed = false;
    bool m_ended = false; // the top value is complete
};
