#pragma once

// The fetch service over QNetworkAccessManager, under the program's HTTP policy. Several
// fetches run side by side; redirects are followed up to five times and only to http or https.
// A fetch fails when it receives nothing for the idle time-out, or less than the minimum rate
// over a whole rate window (a server that trickles a byte now and then); those failures, a body
// cut short and a reset are resumable. An HTTP status of 400 or more fails for good. Bodies are
// passed on as they arrive.
//
// A resumed fetch asks for "Range: bytes=OFFSET-", with If-Range when a validator is given. A
// 200 is the whole file again and is reported as starting at byte 0. A 206 is taken as the rest
// of the file only when its Content-Range runs from OFFSET to the end of the file's total (never
// "*"), its validator (strong ETag, else Last-Modified) is the one asked with, and a digest it
// publishes is the one the file was first published with. Any other 206 does not fail for good
// as it once did: it fails marked `restart`, nothing of its body handed over, so that the
// caller can fetch the file again from its first byte instead of joining two files.

#include "download/FetchService.h"

#include <QHash>

#include <chrono>
#include <memory>

class QNetworkAccessManager;
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
                                    std::optional<int> options,
                                    const ResumeFrom &from = {}) override;
    void cancel(const QString &key) override;

    // Time a fetch may go without receiving anything before it fails.
    void setIdleTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds idleTimeout() const { return m_idleTimeout; }
    // A fetch that receives less than bytesPerSecond on average over a whole window fails.
    void setMinimumRate(qint64 bytesPerSecond, std::chrono::milliseconds window);

private:
    struct Fetch;

    void onMetaData(Fetch *fetch);
    void onReadyRead(Fetch *fetch);
    void onFinished(Fetch *fetch);
    void onRedirected(Fetch *fetch, const QUrl &url);
    void onRateWindow(Fetch *fetch);
    // Reads where this answer's body starts in the file, how long the file is and what digest
    // it publishes; false when the answer cannot continue the file as asked.
    bool readPlacement(Fetch *fetch);
    enum class Then { GiveUp, Resume, Restart }; // what a failure allows
    void finish(Fetch *fetch, int status, const QString &text, Then then = Then::GiveUp);
    // Ends the fetch as failed from the event loop, not from inside one of the reply's signals.
    void failSoon(Fetch *fetch, const QString &reason, Then then);
    bool alive(const QString &key, quint64 id) const;
    void release(const QString &key);
    FetchRecord recordOf(const Fetch *fetch, int status, const QString &text) const;

    std::unique_ptr<QNetworkAccessManager> m_manager;
    QHash<QString, Fetch *> m_fetches;
    std::chrono::milliseconds m_idleTimeout;
    qint64 m_minimumRate = 1024;
    std::chrono::milliseconds m_rateWindow{60000};
    quint64 m_nextId = 1;
};
