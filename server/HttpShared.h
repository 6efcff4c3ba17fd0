#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMutex>

#include <atomic>
#include <chrono>
#include <map>
#include <optional>

class HttpConnection;

// What all connections of one server count together, whatever thread they run on.
struct HttpShared
{
    std::atomic<qint64> unsentBytes{0};  // answer bytes queued in sockets
    std::atomic<qint64> spooledBytes{0}; // reserved for form bodies being received
    std::atomic<int> connections{0};
    std::atomic<bool> stopping{false};

    std::atomic<bool> pausedAtCap{false}; // accepting waits for a connection to close or wait

    QMutex mutex; // guards the tables
    QHash<QByteArray, int> connectionsPerPeer;
    QHash<QByteArray, int> uploadsPerPeer;
    // Connections waiting for a request head, the longest waiting first: when connections are
    // at their cap, the first makes room for a new one. Keyed by when the wait began.
    using WaitKey = std::pair<std::chrono::steady_clock::rep, quint64>;
    std::map<WaitKey, HttpConnection *> waiting;
    quint64 waitSerial = 0;

    WaitKey startWaiting(HttpConnection *connection)
    {
        QMutexLocker lock(&mutex);
        const WaitKey key{std::chrono::steady_clock::now().time_since_epoch().count(),
                          ++waitSerial};
        waiting.emplace(key, connection);
        return key;
    }
    void stopWaiting(const WaitKey &key)
    {
        QMutexLocker lock(&mutex);
        waiting.erase(key);
    }

    // Takes a place in a per-peer table when fewer than `cap` are taken.
    bool take(QHash<QByteArray, int> &table, const QByteArray &peer, int cap)
    {
        QMutexLocker lock(&mutex);
        int &n = table[peer];
        if (n >= cap)
            return false;
        ++n;
        return true;
    }
    void give(QHash<QByteArray, int> &table, const QByteArray &peer)
    {
        QMutexLocker lock(&mutex);
        const auto it = table.find(peer);
        if (it != table.end() && --*it <= 0)
            table.erase(it);
    }
    // Reserves spool room for a body of `bytes`, when it fits under `cap`.
    bool reserveSpool(qint64 bytes, qint64 cap)
    {
        qint64 now = spooledBytes.load();
        do {
            if (now + bytes > cap)
                return false;
        } while (!spooledBytes.compare_exchange_weak(now, now + bytes));
        return true;
    }
};

bool isTrustedProxy(const QHostAddress &address, const QList<QHostAddress> &trustedProxies);

// The client behind a request: the connection's peer, or, when that peer is a trusted proxy,
// the last address in X-Forwarded-For that is not itself a trusted proxy. Nothing when a
// trusted proxy forwards something that is not an address list.
std::optional<QHostAddress> clientAddress(const QHostAddress &peer,
                                          const std::optional<QByteArray> &forwardedFor,
                                          const QList<QHostAddress> &trustedProxies);
