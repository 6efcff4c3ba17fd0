#pragma once

#include "Catalog.h"
#include "HttpServer.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>

#include <atomic>
#include <functional>

class QThread;
class StoreProbe;

// Watches the store from a thread of its own, so that a store that hangs never holds a thread
// that serves connections: it answers /healthz, hears the changes of other instances
// (PostgreSQL), and when it finds the store lost it reopens its connection, renews the
// subscription and moves generation() on, which tells every serving thread to open its own
// connection again.
class StoreWatch : public QObject
{
    Q_OBJECT
public:
    explicit StoreWatch(CatalogStore store, QObject *parent = nullptr);
    ~StoreWatch() override;

    // Opens the watching connection; false with *error when the store cannot be reached.
    // `changed` runs on the watch's thread when another instance changed the catalogue, or
    // after the store came back (changes may have been missed meanwhile).
    bool start(std::function<void()> changed, QString *error);

    // Answers a health request from any thread: 200 when the store answered a probe within
    // `deadlineMs`, else 503. Requests that come together share one probe.
    void check(const HttpRequest &request, const HttpReply &reply, int deadlineMs = 1000);

    // Moves on whenever the store was found lost.
    const std::atomic<quint64> &generation() const { return m_generation; }

private:
    struct Waiter
    {
        HttpReply reply;
        QElapsedTimer since;
        int deadlineMs;
    };

    void onProbed(bool up);
    void expire();
    void answer(const Waiter &waiter, bool up);

    QThread *m_thread;
    StoreProbe *m_probe;
    std::atomic<quint64> m_generation{0};
    QList<Waiter> m_waiters; // on this object's thread only
    bool m_probing = false;
};
