#include "tool/HttpClient.h"

#include "model/ByteCount.h"
#include "tool/Environment.h"
#include "tool/Interrupt.h"

#include <curl/curl.h>

#include <cstdlib>

namespace {

// How long a connection may go without a byte before the run gives up;
// LARK_MEGA_NO_DATA_SECONDS shortens it for tests (1 to 600).
long noDataSeconds()
{
    static const auto seconds = static_cast<long>(environmentNumber("LARK_MEGA_NO_DATA_SECONDS", 1, 600, 60));
    return seconds;
}

// The most an API answer may hold: a listing of a million nodes is about
// 150 MB. LARK_MEGA_MAX_ANSWER_BYTES lowers it for tests.
qsizetype answerLimit()
{
    constexpr qsizetype defaultLimit = 500'000'000;
    static const auto limit =
        static_cast<qsizetype>(environmentNumber("LARK_MEGA_MAX_ANSWER_BYTES", 1, defaultLimit, defaultLimit));
    return limit;
}

struct Answer {
    CURL *curl;
    HttpClient::Response *response;
    const HttpClient::Sink *sink = nullptr;
    qsizetype received = 0;
    bool tooLarge = false;
};

size_t appendToAnswer(char *data, size_t size, size_t count, void *target)
{
    auto *answer = static_cast<Answer *>(target);
    const auto length = static_cast<qsizetype>(size * count);
    answer->received += length;
    if (answer->received > answerLimit()) {
        answer->tooLarge = true;
        return 0; // ends the transfer
    }
    long status = 0;
    if (answer->sink && curl_easy_getinfo(answer->curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200) {
        if (!(*answer->sink)(QByteArrayView(data, length))) {
            answer->response->stopped = true;
            return 0;
        }
        return size * count;
    }
    answer->response->body.append(data, length);
    return size * count;
}

// A pause asked for by SIGINT ends a request under way at once.
int stopWhenInterrupted(void *, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return interruptRequested() ? 1 : 0;
}

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~CurlGlobal() { curl_global_cleanup(); }
};

// Every handle of the run shares one cache of connections, TLS sessions and
// names: the API's answer and the storage ranges, and each file after the
// first, go over connections already open instead of a handshake each. The
// tool drives libcurl from one thread only, which such sharing needs.
CURLSH *runShare()
{
    static CURLSH *share = [] {
        CURLSH *made = curl_share_init();
        curl_share_setopt(made, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(made, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(made, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        return made;
    }(); // never cleaned up: handles may outlive static teardown
    return share;
}

} // namespace

void *newCurlHandle(std::chrono::seconds totalLimit, char *errorBuffer)
{
    static CurlGlobal global;
    CURL *curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_SHARE, runShare());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(totalLimit.count() * 1000));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, noDataSeconds());
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, noDataSeconds());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "lark-mega");
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, stopWhenInterrupted);
    // Large reads: a range is 4 MiB, and fewer, bigger callbacks cost less per byte.
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024);
    // Like curl's own command line: a CA bundle named in the environment is trusted.
    if (const char *bundle = std::getenv("CURL_CA_BUNDLE"); bundle && *bundle)
        curl_easy_setopt(curl, CURLOPT_CAINFO, bundle);
    return curl;
}

MegaError curlTransportError(int code, const char *errorBuffer)
{
    const QString detail = errorBuffer[0] ? QString::fromUtf8(errorBuffer)
                                          : QString::fromUtf8(curl_easy_strerror(static_cast<CURLcode>(code)));
    return MegaError{QStringLiteral("Could not reach MEGA: %1").arg(detail), FailureKind::network, std::nullopt};
}

HttpClient::HttpClient(std::chrono::seconds totalLimit) : m_curl(newCurlHandle(totalLimit, m_errorBuffer))
{}

HttpClient::~HttpClient()
{
    curl_easy_cleanup(static_cast<CURL *>(m_curl));
}

void HttpClient::prepare(const QString &url)
{
    CURL *curl = static_cast<CURL *>(m_curl);
    m_errorBuffer[0] = '\0';
    curl_easy_setopt(curl, CURLOPT_URL, url.toUtf8().constData());
}

MegaError HttpClient::transportError(int code) const
{
    return curlTransportError(code, m_errorBuffer);
}

MegaResult<HttpClient::Response> HttpClient::postJson(const QString &url, const QByteArray &body)
{
    return postJson(url, body, Sink());
}

MegaResult<HttpClient::Response> HttpClient::postJson(const QString &url, const QByteArray &body, const Sink &sink)
{
    CURL *curl = static_cast<CURL *>(m_curl);
    prepare(url);
    Response response;
    curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    Answer answer{curl, &response, sink ? &sink : nullptr};
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendToAnswer);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    if (answer.tooLarge)
        return MegaError{QStringLiteral("MEGA's answer was larger than %1, more than any folder needs, so it was not "
                                        "read.")
                             .arg(formatByteCount(answerLimit()))};
    if (code != CURLE_OK && !response.stopped)
        return transportError(code);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    return response;
}
