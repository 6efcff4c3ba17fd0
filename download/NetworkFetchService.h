#pragma once

// The fetch service over QNetworkAccessManager, under the program's HTTP policy. Several
// fetches run side by side; redirects are followed up to five times and only to http or https;
// a fetch that receives nothing for the idle time-out fails. A body cut short, an HTTP status of
// 400 or more, a reset or a time-out ends the fetch with status Failure. Bodies are passed on as
// they arrive.

#include "download/FetchService.h"

#include <QHash>
#include <QPointer>

#include <chrono>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;
class QUrl;

class NetworkFetchService : public FetchService
{
    Q_OBJECT

public:
    // Numbers of the refusals of start().
    enum Refusal : int {
        InvalidUrl = 5, // not an absolute http or https URL
        InvalidKey = 6, // an empty key
        KeyInUse = 7,   // a fetch under that key is still running
    };

    explicit NetworkFetchService(QObject *parent = nullptr);
    ~NetworkFetchService() override;

    std::optional<FetchError> start(const QString &url, const QString &key,
                                    std::optional<int> options) override;
    void cancel(const QString &key) override;

    // Time a fetch may go without receiving anything before it fails.
    void setIdleTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds idleTimeout() const { return m_idleTimeout; }

private:
    struct Fetch;

    void onMetaData(Fetch *fetch);
    void onReadyRead(Fetch *fetch);
    void onFinished(Fetch *fetch);
    void onRedirected(Fetch *fetch, const QUrl &url);
    void onIdle(Fetch *fetch);
    void finish(Fetch *fetch, int status, const QString &text);
    // Ends the fetch as failed from the event loop, not from inside one of the reply's signals.
    void failSoon(Fetch *fetch, const QString &reason);
    bool alive(const QString &key, quint64 id) const;
    void release(const QString &key);
    FetchRecord recordOf(const Fetch *fetch, int status, const QString &text) const;

    std::unique_ptr<QNetworkAccessManager> m_manager;
    QHash<QString, Fetch *> m_fetches;
    std::chrono::milliseconds m_idleTimeout;
    quint64 m_nextId = 1;
};
