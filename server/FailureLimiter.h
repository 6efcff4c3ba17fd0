#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QString>

// Failed guesses per peer (administrator passwords, security codes), with exponential
// back-off: after a few free failures a peer is refused without a check for 1 s, then 2 s,
// 4 s... up to a ceiling. An IPv6 peer is its /64, which one user usually holds whole; its /48,
// which one site holds, has a budget of its own, a few times larger, so that the 65,536 /64s
// of a site are not as many budgets. A quiet peer is forgotten. Thread-safe; the time is
// passed in.
class FailureLimiter
{
public:
    struct Policy
    {
        int freeFailures = 5;
        qint64 firstDelayMs = 1000;
        qint64 maxDelayMs = 15 * 60 * 1000;
        qint64 forgetAfterMs = 15 * 60 * 1000; // after the last failure or the end of a delay
        int networkShare = 4;                  // free failures of a /48, in peers' budgets
    };

    FailureLimiter();
    explicit FailureLimiter(Policy policy) : m_policy(policy) {}

    // IPv4 addresses count one by one; IPv6 by their /64.
    static QByteArray peerKey(const QHostAddress &address);

    // True while the address is to be refused without a check.
    bool isBlocked(const QHostAddress &address, qint64 nowMs);
    // Counts a failure. When it starts a back-off, what is held back, to be logged once: the
    // address, or its network ("2001:db8:1::/48"); else empty.
    QString failed(const QHostAddress &address, qint64 nowMs);
    void succeeded(const QHostAddress &address);
    // Whether the address failed at or after `sinceMs`.
    bool failedSince(const QHostAddress &address, qint64 sinceMs);

private:
    struct Entry
    {
        int failures = 0;
        qint64 blockedUntil = 0;
        qint64 last = 0;
        bool logged = false;
    };

    static QByteArray networkKey(const QHostAddress &address); // empty for IPv4
    bool count(Entry &e, int freeFailures, qint64 nowMs) const;
    void forgetQuietPeers(qint64 nowMs);

    Policy m_policy;
    QMutex m_mutex;
    QHash<QByteArray, Entry> m_entries; // peers, and networks under a key of their own
};
