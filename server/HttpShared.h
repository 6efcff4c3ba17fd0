#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMutex>

#include <atomic>

// What all connections of one server count together, whatever thread they run on.
struct HttpShared
{
    std::atomic<qint64> unsentBytes{0};  // answer bytes queued in sockets
    std::atomic<qint64> spooledBytes{0}; // reserved for form bodies being received
    std::atomic<int> connections{0};
    std::atomic<bool> stopping{false};

    QMutex mutex; // guards the two tables
    QHash<QByteArray, int> connectionsPerPeer;
    QHash<QByteArray, int> uploadsPerPeer;

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
// the last address in X-Forwarded-For that is not itself a trusted proxy.
QHostAddress clientAddress(const QHostAddress &peer, const QByteArray &forwardedFor,
                           const QList<QHostAddress> &trustedProxies);
