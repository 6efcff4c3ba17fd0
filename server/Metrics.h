#pragma once

#include "HttpServer.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QStringView>

#include <array>
#include <atomic>

struct HttpShared;

// What the server counts for /metrics, in the Prometheus text format. Counting is a relaxed
// atomic add, so every thread counts without a lock; one set per process.
class Metrics
{
public:
    enum class Route {
        AdminList,
        UsersList,
        Examine,
        ItemFile,
        Upload,
        Statistics,
        MetricsPage,
        Health,
        Other,
        Count
    };
    // Requests refused for a per-address or overall limit, without being served.
    enum class Refusal {
        Password,           // an address in its delay after wrong passwords
        SecurityCode,       // the same for security codes
        Derivations,        // too many password checks in flight from one address
        ConnectionsPerPeer, // --max-connections-per-peer
        UploadsPerPeer,     // a second upload from one address
        Spool,              // --max-spool-bytes
        PasswordQueue,      // password checks queued everywhere: 503
        ClosedForRoom,      // a connection waiting for a head, closed at the cap for a new one
        Count
    };

    static Metrics &instance();
    static Route routeOf(QStringView path);

    void countRequest(Route route, int status, qint64 micros);
    void countCache(bool hit) { (hit ? m_cacheHits : m_cacheMisses).fetch_add(1, Relaxed); }
    void countRefusal(Refusal kind) { m_refusals[size_t(kind)].fetch_add(1, Relaxed); }
    void countStoreError() { m_storeErrors.fetch_add(1, Relaxed); }
    void countReconnect() { m_reconnects.fetch_add(1, Relaxed); }
    void setStoreUp(bool up) { m_storeUp.store(up, Relaxed); }

    // The exposition text; the gauges of `shared` when given.
    QByteArray render(const HttpShared *shared) const;

    // The /metrics answer: 404 to a client that may not read it.
    HttpResponse page(const HttpRequest &request, const QList<QPair<QHostAddress, int>> &allowed,
                      const HttpShared *shared) const;

    // Loopback, or an address within one of the allowed subnets.
    static bool mayRead(const QHostAddress &client, const QList<QPair<QHostAddress, int>> &allowed);

    // Upper bounds of the answer-time buckets, in microseconds.
    static constexpr std::array<qint64, 12> BucketMicros{
        250, 500, 1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 1000000, 5000000};

private:
    static constexpr auto Relaxed = std::memory_order_relaxed;
    static constexpr int Statuses = 600;
    static constexpr size_t Routes = size_t(Route::Count);

    struct RouteCounters
    {
        std::array<std::atomic<quint64>, Statuses> byStatus{};
        std::array<std::atomic<quint64>, BucketMicros.size() + 1> buckets{};
        std::atomic<quint64> count{0};
        std::atomic<quint64> sumMicros{0};
    };

    std::array<RouteCounters, Routes> m_routes{};
    std::array<std::atomic<quint64>, size_t(Refusal::Count)> m_refusals{};
    std::atomic<quint64> m_cacheHits{0};
    std::atomic<quint64> m_cacheMisses{0};
    std::atomic<quint64> m_storeErrors{0};
    std::atomic<quint64> m_reconnects{0};
    std::atomic<bool> m_storeUp{true};
};
