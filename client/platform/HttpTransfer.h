#pragma once

#include "client/platform/Services.h"
#include "net/HttpPolicy.h"

#include <QUrl>

#include <chrono>
#include <memory>

class QNetworkAccessManager;

// The window's blocking GET over QNetworkAccessManager, under the program's HTTP policy. A reply
// with any HTTP status is a reply; only the transport failing (refused, reset, cut short, idle
// too long, not done by the deadline, larger than the limit, a bad URL or a bad redirect) is a
// failure. Redirects are followed one plain GET per hop, so a request the server acts on goes
// out once; never from https to http. The reply is read as it arrives through a small buffer,
// so a server that sends without end costs no more than the limit.
//
// While it waits, the program keeps painting and running its timers, shows a busy cursor, and
// drops every mouse, key, wheel, touch and shortcut event: input made meanwhile is lost, never
// replayed afterwards. When the program is told to quit meanwhile (its window closed), the
// request ends at once and the result is `cancelled`.
//
// URLs carry passwords in their queries, so they are never logged nor put into an error.
class HttpTransfer : public Transfer
{
public:
    static constexpr std::chrono::seconds DefaultDeadline = tavrel::http::RequestDeadline;
    static constexpr qint64 DefaultReplyLimit = tavrel::http::MaxReplySize;

    explicit HttpTransfer(QNetworkAccessManager *nam = nullptr);
    ~HttpTransfer() override;

    // No byte for this long ends the request; every received byte restarts the clock.
    void setIdleTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds idleTimeout() const { return m_idleTimeout; }
    // The whole request, redirects included, must be done within this time.
    void setDeadline(std::chrono::milliseconds deadline);
    // A reply larger than this, as received, fails.
    void setReplyLimit(qint64 bytes);

    FetchResult fetch(const QString &url) override;

private:
    // One request: either its outcome, or where the server redirects to.
    struct Hop
    {
        FetchResult outcome;
        QUrl redirect; // set when the server redirects; may be invalid or of another scheme
    };
    Hop get(const QUrl &target, std::chrono::steady_clock::time_point deadline);
    FetchResult followRedirects(const QString &url);

    std::unique_ptr<QNetworkAccessManager> m_ownNam;
    QNetworkAccessManager *m_nam;
    std::chrono::milliseconds m_idleTimeout;
    std::chrono::milliseconds m_deadline = DefaultDeadline;
    qint64 m_replyLimit = DefaultReplyLimit;
};
