#include "app/records/LinkIntake.h"

#include <QSet>
#include <QUrl>

namespace {

bool acceptable(const QString &token)
{
    const QUrl url(token, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative())
        return false;
    const QString scheme = url.scheme().toLower();
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty() &&
           url.userInfo().isEmpty() && !url.authority().contains(QLatin1Char('@'));
}

} // namespace

AcceptedURLs acceptedURLs(const QString &text)
{
    AcceptedURLs result;
    QSet<QString> seen;
    qsizetype start = -1;
    const auto takeToken = [&](qsizetype end) {
        if (start < 0)
            return;
        const QString token = text.mid(start, end - start);
        start = -1;
        if (!acceptable(token)) {
            ++result.invalid;
        } else if (!seen.contains(token)) {
            seen.insert(token);
            result.urls.append(token);
        }
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isSpace())
            takeToken(i);
        else if (start < 0)
            start = i;
    }
    takeToken(text.size());
    return result;
}
