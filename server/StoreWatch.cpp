#include "StoreWatch.h"

#include "Log.h"
#include "Metrics.h"

#include <QThread>
#include <QTimer>

namespace {

constexpr int ProbeIntervalMs = 1000;

// A connection attempt to a PostgreSQL that does not answer gives up in time.
CatalogStore withConnectTimeout(CatalogStore store)
{
    if (store.kind == CatalogStore::Postgresql && !store.options.contains(u"connect_timeout"))
        store.options += (store.options.isEmpty() ? QString() : QStringLiteral(";")) +
                         QStringLiteral("connect_timeout=3");
    return store;
}

} // namespace

// Lives on the watch's thread with a connection of its own.
class StoreProbe : public QObject
{
    Q_OBJECT
public:
    StoreProbe(CatalogStore store, std::atomic<quint64> *generation)
        : m_store(withConnectTimeout(std::move(store))), m_generation(generation)
    {
        m_timer.setInterval(ProbeIntervalMs);
        connect(&m_timer, &QTimer::timeout, this, &StoreProbe::probe);
    }

    bool connectStore(QString *error)
    {
        auto catalog = std::make_unique<Catalog>();
        StoreResult<> opened = catalog->open(m_store, false);
        if (opened)
            opened = catalog->watchChanges();
        if (!opened) {
            *error = opened.error();
            return false;
        }
        connect(catalog.get(), &Catalog::changedElsewhere, this, [this] { m_changed(); });
        m_catalog = std::move(catalog);
        return true;
    }

    void setChanged(std::function<void()> changed) { m_changed = std::move(changed); }
    void startTimer() { m_timer.start(); }

    // True when the store answers, reconnecting once when it was lost.
    bool probe()
    {
        if (m_catalog && m_catalog->ping()) {
            setUp(true);
            return true;
        }
        if (m_catalog) {
            m_catalog.reset();
            m_generation->fetch_add(1);
            qCWarning(lcServer, "the database does not answer; connections will be opened again");
        }
        QString error;
        const bool up = connectStore(&error);
        if (up) {
            Metrics::instance().countReconnect();
            qCInfo(lcServer, "the database answers again");
            // Serving threads may have reopened during the outage with the store still half
            // there; and other instances' changes went unheard.
            m_generation->fetch_add(1);
            m_changed();
        }
        setUp(up);
        return up;
    }

signals:
    void probed(bool up);

private:
    void setUp(bool up)
    {
        Metrics::instance().setStoreUp(up);
        emit probed(up);
    }

    CatalogStore m_store;
    std::function<void()> m_changed;
    std::atomic<quint64> *m_generation;
    std::unique_ptr<Catalog> m_catalog;
    QTimer m_timer{this}; // a child: it moves to the watch's thread with the probe
};

StoreWatch::StoreWatch(CatalogStore store, QObject *parent)
    : QObject(parent), m_thread(new QThread(this)),
      m_probe(new StoreProbe(std::move(store), &m_generation))
{
    m_thread->setObjectName(QStringLiteral("catalogd-store-watch"));
    connect(m_probe, &StoreProbe::probed, this, &StoreWatch::onProbed);
    // The probe and its connection end on their own thread, as it finishes. A deleteLater
    // queued just before quit() could be left unrun.
    connect(m_thread, &QThread::finished, m_probe, &QObject::deleteLater);
}

StoreWatch::~StoreWatch()
{
    if (m_thread->isRunning()) {
        m_thread->quit();
        m_thread->wait();
    } else {
        delete m_probe;
    }
}

bool StoreWatch::start(std::function<void()> changed, QString *error)
{
    m_probe->setChanged(std::move(changed));
    // A store connection is used only on the thread that opened it.
    m_probe->moveToThread(m_thread);
    m_thread->start();
    bool connected = false;
    QMetaObject::invokeMethod(
        m_probe,
        [this, &connected, error] {
            connected = m_probe->connectStore(error);
            if (connected)
                m_probe->startTimer();
        },
        Qt::BlockingQueuedConnection);
    return connected;
}

void StoreWatch::check(const HttpRequest &request, const HttpReply &reply, int deadlineMs)
{
    if (request.method != "GET" && request.method != "HEAD") {
        HttpResponse r = HttpResponse::text(405, "only GET and HEAD are allowed here\n");
        r.addHeader("Allow", "GET, HEAD");
        return reply(r);
    }
    QMetaObject::invokeMethod(this, [this, reply, deadlineMs] {
        Waiter waiter{reply, {}, deadlineMs};
        waiter.since.start();
        m_waiters.append(waiter);
        QTimer::singleShot(deadlineMs, this, &StoreWatch::expire);
        if (!m_probing) {
            m_probing = true;
            QMetaObject::invokeMethod(m_probe, &StoreProbe::probe);
        }
    });
}

void StoreWatch::onProbed(bool up)
{
    m_probing = false;
    for (const Waiter &waiter : std::as_const(m_waiters))
        answer(waiter, up);
    m_waiters.clear();
}

void StoreWatch::expire()
{
    for (auto it = m_waiters.begin(); it != m_waiters.end();) {
        if (it->since.elapsed() >= it->deadlineMs) {
            answer(*it, false);
            it = m_waiters.erase(it);
        } else {
            ++it;
        }
    }
}

void StoreWatch::answer(const Waiter &waiter, bool up)
{
    HttpResponse r = up ? HttpResponse::text(200, "ok\n")
                        : HttpResponse::text(503, "the store does not answer\n");
    r.addHeader("Cache-Control", "no-store");
    waiter.reply(r);
}

#include "StoreWatch.moc"
