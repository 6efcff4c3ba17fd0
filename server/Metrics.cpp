#include "Metrics.h"

#include "HttpShared.h"

namespace {

const char *const RouteNames[] = {"admin_upload", "users_upload", "to_examine", "up",   "index",
                                  "statistics",   "metrics",      "healthz",    "other"};
const char *const RefusalNames[] = {"password",         "security_code",   "derivations",
                                    "connections_per_peer", "uploads_per_peer", "spool",
                                    "password_queue",   "closed_for_room"};
static_assert(std::size(RouteNames) == size_t(Metrics::Route::Count));
static_assert(std::size(RefusalNames) == size_t(Metrics::Refusal::Count));

void family(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

void sample(QByteArray &out, const char *name, const QByteArray &labels, quint64 value)
{
    out += name;
    if (!labels.isEmpty())
        out += '{' + labels + '}';
    out += ' ' + QByteArray::number(value) + '\n';
}

QByteArray seconds(qint64 micros)
{
    return QByteArray::number(double(micros) / 1e6, 'g', 10);
}

} // namespace

Metrics &Metrics::instance()
{
    static Metrics metrics;
    return metrics;
}

Metrics::Route Metrics::routeOf(QStringView path)
{
    static constexpr QStringView Admin = u"/adminphp/";
    if (path == u"/metrics")
        return Route::MetricsPage;
    if (path == u"/healthz")
        return Route::Health;
    if (path == u"/kovitongji.asp")
        return Route::Statistics;
    if (!path.startsWith(Admin))
        return Route::Other;
    const QStringView rest = path.mid(Admin.size());
    if (rest == u"admin_upload.php")
        return Route::AdminList;
    if (rest == u"users_upload.php")
        return Route::UsersList;
    if (rest == u"to_examine.php")
        return Route::Examine;
    if (rest == u"index.php")
        return Route::Upload;
    if (rest.startsWith(u"up/"))
        return Route::ItemFile;
    return Route::Other;
}

void Metrics::countRequest(Route route, int status, qint64 micros)
{
    RouteCounters &r = m_routes[size_t(route)];
    r.byStatus[size_t(qBound(0, status, Statuses - 1))].fetch_add(1, Relaxed);
    size_t bucket = 0;
    while (bucket < BucketMicros.size() && micros > BucketMicros[bucket])
        ++bucket;
    r.buckets[bucket].fetch_add(1, Relaxed);
    r.count.fetch_add(1, Relaxed);
    r.sumMicros.fetch_add(quint64(qMax<qint64>(0, micros)), Relaxed);
}

QByteArray Metrics::render(const HttpShared *shared) const
{
    QByteArray out;
    out.reserve(8192);
    family(out, "catalogd_http_requests_total", "counter",
           "Requests answered, by route and status.");
    for (size_t route = 0; route < Routes; ++route) {
        for (int status = 0; status < Statuses; ++status) {
            const quint64 n = m_routes[route].byStatus[size_t(status)].load(Relaxed);
            if (n > 0)
                sample(out, "catalogd_http_requests_total",
                       QByteArray("route=\"") + RouteNames[route] + "\",status=\"" +
                           QByteArray::number(status) + '"',
                       n);
        }
    }
    family(out, "catalogd_http_request_duration_seconds", "histogram",
           "Time from a whole request head to its answer's head, by route.");
    for (size_t route = 0; route < Routes; ++route) {
        const RouteCounters &r = m_routes[route];
        if (r.count.load(Relaxed) == 0)
            continue;
        const QByteArray name = QByteArray("route=\"") + RouteNames[route] + '"';
        quint64 cumulative = 0;
        for (size_t b = 0; b <= BucketMicros.size(); ++b) {
            cumulative += r.buckets[b].load(Relaxed);
            const QByteArray le = b < BucketMicros.size() ? seconds(BucketMicros[b]) : "+Inf";
            sample(out, "catalogd_http_request_duration_seconds_bucket", name + ",le=\"" + le + '"',
                   cumulative);
        }
        out += "catalogd_http_request_duration_seconds_sum{" + name + "} " +
               seconds(qint64(r.sumMicros.load(Relaxed))) + '\n';
        sample(out, "catalogd_http_request_duration_seconds_count", name, cumulative);
    }
    family(out, "catalogd_page_cache_hits_total", "counter",
           "Catalog pages answered from the cache.");
    sample(out, "catalogd_page_cache_hits_total", {}, m_cacheHits.load(Relaxed));
    family(out, "catalogd_page_cache_misses_total", "counter",
           "Catalog pages read from the store.");
    sample(out, "catalogd_page_cache_misses_total", {}, m_cacheMisses.load(Relaxed));
    family(out, "catalogd_refusals_total", "counter",
           "Requests and connections refused by a limit, by kind.");
    for (size_t kind = 0; kind < size_t(Refusal::Count); ++kind)
        sample(out, "catalogd_refusals_total", QByteArray("kind=\"") + RefusalNames[kind] + '"',
               m_refusals[kind].load(Relaxed));
    family(out, "catalogd_store_errors_total", "counter", "Store operations that failed.");
    sample(out, "catalogd_store_errors_total", {}, m_storeErrors.load(Relaxed));
    family(out, "catalogd_store_reconnects_total", "counter",
           "Store connections opened again after the store was lost.");
    sample(out, "catalogd_store_reconnects_total", {}, m_reconnects.load(Relaxed));
    family(out, "catalogd_store_up", "gauge", "Whether the store answered its last health probe.");
    sample(out, "catalogd_store_up", {}, m_storeUp.load(Relaxed) ? 1 : 0);
    if (shared) {
        family(out, "catalogd_open_connections", "gauge", "Client connections open now.");
        sample(out, "catalogd_open_connections", {}, quint64(qMax(0, shared->connections.load())));
        family(out, "catalogd_spooled_bytes", "gauge", "Upload bytes reserved in the spool now.");
        sample(out, "catalogd_spooled_bytes", {},
               quint64(qMax<qint64>(0, shared->spooledBytes.load())));
        family(out, "catalogd_unsent_bytes", "gauge", "Answer bytes waiting to be sent now.");
        sample(out, "catalogd_unsent_bytes", {},
               quint64(qMax<qint64>(0, shared->unsentBytes.load())));
    }
    return out;
}

HttpResponse Metrics::page(const HttpRequest &request,
                           const QList<QPair<QHostAddress, int>> &allowed,
                           const HttpShared *shared) const
{
    // Answered like any unknown path, so that it does not show it is there.
    if (!mayRead(request.peer, allowed))
        return HttpResponse::text(404, "not found\n");
    if (request.method != "GET" && request.method != "HEAD") {
        HttpResponse r = HttpResponse::text(405, "only GET and HEAD are allowed here\n");
        r.addHeader("Allow", "GET, HEAD");
        return r;
    }
    HttpResponse r = HttpResponse::text(200, render(shared));
    r.contentType = "text/plain; version=0.0.4; charset=utf-8";
    r.addHeader("Cache-Control", "no-store");
    return r;
}

bool Metrics::mayRead(const QHostAddress &client, const QList<QPair<QHostAddress, int>> &allowed)
{
    // An IPv4 client on an IPv6 socket arrives as ::ffff:a.b.c.d.
    bool isV4 = false;
    const quint32 v4 = client.toIPv4Address(&isV4);
    const QHostAddress address = isV4 ? QHostAddress(v4) : client;
    if (address.isLoopback())
        return true;
    for (const auto &subnet : allowed) {
        if (address.isInSubnet(subnet))
            return true;
    }
    return false;
}
