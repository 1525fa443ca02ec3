#include "tool/MegaApi.h"

#include "model/JsonArrayStream.h"
#include "model/JsonFields.h"
#include "model/MegaBase64.h"
#include "tool/Interrupt.h"
#include "tool/JsonText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QUrl>

#include <cstdlib>

MegaResult<QString> megaApiEndpoint()
{
    const char *override = std::getenv("LARK_MEGA_API_URL");
    if (!override || !*override)
        return QStringLiteral("https://g.api.mega.co.nz");
    const QUrl url(QString::fromUtf8(override), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty())
        return MegaError{QStringLiteral("LARK_MEGA_API_URL must be an https:// address with a host, not \"%1\".")
                             .arg(printableText(QString::fromUtf8(override).left(200)))};
    return url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toString();
}

namespace {

FailureKind megaErrorKind(qint64 code)
{
    switch (code) {
    case -3:
    case -4:
        return FailureKind::busy;
    case -9:
        return FailureKind::notFound;
    case -11:
        return FailureKind::access;
    case -17:
        return FailureKind::quota;
    default:
        return FailureKind::input;
    }
}

struct Streamed {
    const QByteArray &key;
    const std::function<void(QByteArrayView)> &element;
};

// One request, answered or failed; a failure that may pass is tried again by the caller.
MegaResult<QJsonObject> askOnce(HttpClient &client, const QString &url, const QByteArray &body,
                                const std::optional<Streamed> &streamed)
{
    std::optional<JsonArrayStream> stream;
    if (streamed)
        stream.emplace(streamed->key, 2, streamed->element);
    const auto response =
        stream ? client.postJson(url, body, [&stream](QByteArrayView piece) { return stream->feed(piece); })
               : client.postJson(url, body);
    if (!response)
        return response.error();
    if (response->status != 200)
        return megaError("MEGA is unavailable. Check your connection and try again.",
                         response->status >= 500 || response->status == 429 ? FailureKind::busy : FailureKind::input);

    const std::optional<QByteArray> rest = stream ? stream->finish() : response->body;
    if (!rest)
        return megaError("Invalid response from MEGA.");
    const auto document = parseJson(*rest);
    if (!document)
        return document.error();
    if (!document->isArray() || document->array().isEmpty())
        return megaError("Invalid response from MEGA.");
    const QJsonValue first = document->array().first();
    if (const auto code = strictInteger(first))
        return MegaError{megaErrorMessage(*code), megaErrorKind(*code), std::nullopt};
    if (!first.isObject())
        return megaError("Invalid MEGA response.");
    return first.toObject();
}

} // namespace

QString megaErrorMessage(qint64 code)
{
    switch (code) {
    case -3:
    case -4:
        return QStringLiteral("MEGA is temporarily busy. Please retry shortly.");
    case -9:
        return QStringLiteral("The MEGA link was removed or is no longer available.");
    case -11:
        return QStringLiteral("MEGA denied access to this link. It may be disabled or private.");
    case -17:
        return QStringLiteral("MEGA transfer quota reached. Please retry later.");
    default:
        return QStringLiteral("MEGA rejected the request (%1). Check the full link and try again.").arg(code);
    }
}

MegaResult<QJsonObject> megaAPI(HttpClient &client, const QJsonObject &command, const std::optional<QString> &share)
{
    return megaAPI(client, command, share, QByteArray(), nullptr, nullptr);
}

MegaResult<QJsonObject> megaAPI(HttpClient &client, const QJsonObject &command, const std::optional<QString> &share,
                                const QByteArray &key, const std::function<void()> &begin,
                                const std::function<void(QByteArrayView)> &element)
{
    if (share && !validMegaHandle(*share))
        return megaError("Invalid shared folder identifier.");

    const quint32 requestNumber = 100000 + QRandomGenerator::system()->bounded(900000u);
    const auto endpoint = megaApiEndpoint();
    if (!endpoint)
        return endpoint.error();
    QString url = *endpoint + QStringLiteral("/cs?id=%1").arg(requestNumber);
    if (share)
        url += QStringLiteral("&n=") + *share;

    const QByteArray body = QJsonDocument(QJsonArray{command}).toJson(QJsonDocument::Compact);
    // A busy server, a 5xx or a dropped connection is asked again after a
    // growing wait; the last failure is the run's when the tries are spent.
    for (int tries = 1;; ++tries) {
        if (begin)
            begin();
        auto answer =
            askOnce(client, url, body, element ? std::optional<Streamed>(Streamed{key, element}) : std::nullopt);
        const bool passing =
            !answer && (answer.error().kind == FailureKind::busy || answer.error().kind == FailureKind::network);
        if (!passing || tries >= triesPerRequest || interruptRequested() || !sleepUnlessInterrupted(retryDelay(tries)))
            return answer;
    }
}
