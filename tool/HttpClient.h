#pragma once

#include "tool/MegaError.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <chrono>
#include <functional>

// A libcurl handle set up as every request of the tool is: HTTPS only, the
// time limits, the CA bundle of CURL_CA_BUNDLE; errors are written to errorBuffer.
void *newCurlHandle(std::chrono::seconds totalLimit, char *errorBuffer);
// "Could not reach MEGA: " and what libcurl said.
MegaError curlTransportError(int code, const char *errorBuffer);

// One libcurl handle per run for the API, so every request reuses the same connection
// (the storage ranges go through RangeFetcher).
// Nothing is kept between runs: no cookies, cache or credentials.
class HttpClient {
public:
    // Each request may take at most totalLimit, and gives up after 60 seconds without data.
    explicit HttpClient(std::chrono::seconds totalLimit);
    ~HttpClient();
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;

    struct Response {
        long status = 0;
        QByteArray body;
        bool stopped = false; // the sink refused a piece
    };
    MegaResult<Response> postJson(const QString &url, const QByteArray &body);
    // The same, but the body of a 200 answer goes to sink a piece at a time
    // as it arrives instead of into the response; sink returns false to stop.
    using Sink = std::function<bool(QByteArrayView)>;
    MegaResult<Response> postJson(const QString &url, const QByteArray &body, const Sink &sink);

private:
    MegaError transportError(int code) const;
    void prepare(const QString &url);

    void *m_curl = nullptr;
    char m_errorBuffer[256] = {};
};
