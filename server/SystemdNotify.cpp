#include "SystemdNotify.h"

#include <QObject>
#include <QTimer>

#include <chrono>

#ifdef CATALOGD_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

void notify(const QByteArray &message)
{
#ifdef CATALOGD_HAVE_SYSTEMD
    sd_notify(0, message.constData());
#else
    Q_UNUSED(message);
#endif
}

QByteArray statusLine(const QString &status)
{
    QString oneLine = status;
    oneLine.replace(u'\n', u' ');
    return "STATUS=" + oneLine.toUtf8();
}

constexpr auto ExtensionStep = std::chrono::seconds(10);

} // namespace

namespace SystemdNotify {

void ready(const QString &status)
{
    notify("READY=1\n" + statusLine(status));
}

void status(const QString &status)
{
    notify(statusLine(status));
}

void stopping()
{
    notify("STOPPING=1");
}

void startWatchdog(QObject *context)
{
#ifdef CATALOGD_HAVE_SYSTEMD
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    // Twice per interval, as systemd advises.
    auto *timer = new QTimer(context);
    timer->setInterval(int(qBound<uint64_t>(1, usec / 2000, 3600 * 1000)));
    QObject::connect(timer, &QTimer::timeout, [] { notify("WATCHDOG=1"); });
    timer->start();
    notify("WATCHDOG=1");
#else
    Q_UNUSED(context);
#endif
}

StartupExtension::StartupExtension(const QString &status)
{
    const QByteArray line = statusLine(status);
    m_thread = std::thread([this, line] {
        const QByteArray extend =
            "EXTEND_TIMEOUT_USEC=" +
            QByteArray::number(qint64(std::chrono::microseconds(3 * ExtensionStep).count())) +
            '\n' + line;
        std::unique_lock lock(m_mutex);
        do {
            notify(extend);
        } while (!m_done.wait_for(lock, ExtensionStep, [this] { return m_finished; }));
    });
}

StartupExtension::~StartupExtension()
{
    {
        std::lock_guard lock(m_mutex);
        m_finished = true;
    }
    m_done.notify_all();
    m_thread.join();
}

} // namespace SystemdNotify
