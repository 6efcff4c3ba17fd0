#pragma once

#include "Services.h"

#include <QUrl>

#include <chrono>
#include <memory>

class QNetworkAccessManager;

// The window's blocking GET over QNetworkAccessManager. A reply with any HTTP status is a
// reply; only the transport failing (refused, reset, cut short, idle too long, a bad URL or a
// bad redirect) is a failure. While it waits the window keeps painting but takes no input.
// URLs carry passwords in their queries, so they are never logged nor put into an error.
class HttpTransfer : public Transfer
{
public:
    static constexpr int kMaxRedirects = 5;
    static constexpr std::chrono::milliseconds kDefaultIdleTimeout{30000};

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
        bool redirected = false;
        QUrl redirect; // may be invalid: a Location that does not parse
    };
    static Hop finished(FetchResult outcome);
    Hop get(const QUrl &target);

    std::unique_ptr<QNetworkAccessManager> m_ownNam;
    QNetworkAccessManager *m_nam;
    std::chrono::milliseconds m_idleTimeout = kDefaultIdleTimeout;
};
