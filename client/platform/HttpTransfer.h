#pragma once

#include "client/platform/Services.h"

#include <QUrl>

#include <chrono>
#include <memory>

class QNetworkAccessManager;

// The window's blocking GET over QNetworkAccessManager, under the program's HTTP policy. A reply
// with any HTTP status is a reply; only the transport failing (refused, reset, cut short, idle
// too long, a bad URL or a bad redirect) is a failure. Redirects are followed one plain GET per
// hop, so a request the server acts on goes out once. While it waits the window keeps painting
// but takes no input. URLs carry passwords in their queries, so they are never logged nor put
// into an error.
class HttpTransfer : public Transfer
{
public:
    explicit HttpTransfer(QNetworkAccessManager *nam = nullptr);
    ~HttpTransfer() override;

    // No byte for this long ends the request; every received byte restarts the clock.
    void setIdleTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds idleTimeout() const { return m_idleTimeout; }

    FetchResult fetch(const QString &url) override;

private:
    // One request: either its outcome, or where the server redirects to.
    struct Hop
    {
        FetchResult outcome;
        QUrl redirect; // set when the server redirects; may be invalid or of another scheme
    };
    Hop get(const QUrl &target);

    std::unique_ptr<QNetworkAccessManager> m_ownNam;
    QNetworkAccessManager *m_nam;
    std::chrono::milliseconds m_idleTimeout;
};
