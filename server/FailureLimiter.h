#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QMutex>

// Failed guesses per peer (administrator passwords, security codes), with exponential
// back-off: after a few free failures a peer is refused without a check for 1 s, then 2 s,
// 4 s... up to a ceiling. A quiet peer is forgotten. Thread-safe; the time is passed in.
class FailureLimiter
{
public:
    struct Policy
    {
        int freeFailures = 5;
        qint64 firstDelayMs = 1000;
        qint64 maxDelayMs = 15 * 60 * 1000;
        qint64 forgetAfterMs = 15 * 60 * 1000; // after the last failure or the end of a delay
    };

    FailureLimiter();
    explicit FailureLimiter(Policy policy) : m_policy(policy) {}

    // IPv4 addresses count one by one; IPv6 by their /64, which one user usually holds whole.
    static QByteArray peerKey(const QHostAddress &address);

    // True while the peer is to be refused without a check.
    bool isBlocked(const QByteArray &peer, qint64 nowMs);
    // Counts a failure. True when it starts the peer's back-off: the moment to log it, once.
    bool failed(const QByteArray &peer, qint64 nowMs);
    void succeeded(const QByteArray &peer);

private:
    struct Entry
    {
        int failures = 0;
        qint64 blockedUntil = 0;
        qint64 last = 0;
        bool logged = false;
    };

    void forgetQuietPeers(qint64 nowMs);

    Policy m_policy;
    QMutex m_mutex;
    QHash<QByteArray, Entry> m_entries;
};
