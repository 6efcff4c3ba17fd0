#include "FailureLimiter.h"

namespace {

constexpr qsizetype ForgetCheckSize = 10000; // entries before quiet peers are swept out

Q_IPV6ADDR ipv6Of(const QHostAddress &address)
{
    return address.toIPv6Address();
}

} // namespace

FailureLimiter::FailureLimiter() : m_policy(Policy()) {}

QByteArray FailureLimiter::peerKey(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QByteArray::number(v4);
    const Q_IPV6ADDR v6 = ipv6Of(address);
    return QByteArray(reinterpret_cast<const char *>(v6.c), 8).toHex();
}

QByteArray FailureLimiter::networkKey(const QHostAddress &address)
{
    bool isV4 = false;
    address.toIPv4Address(&isV4);
    if (isV4)
        return {};
    const Q_IPV6ADDR v6 = ipv6Of(address);
    return "net:" + QByteArray(reinterpret_cast<const char *>(v6.c), 6).toHex();
}

bool FailureLimiter::isBlocked(const QHostAddress &address, qint64 nowMs)
{
    QMutexLocker lock(&m_mutex);
    for (const QByteArray &key : {peerKey(address), networkKey(address)}) {
        const auto it = m_entries.constFind(key);
        if (it != m_entries.cend() && nowMs < it->blockedUntil)
            return true;
    }
    return false;
}

// Counts a failure on one entry; true when it starts a back-off to be logged.
bool FailureLimiter::count(Entry &e, int freeFailures, qint64 nowMs) const
{
    if (e.failures > 0 && nowMs - qMax(e.last, e.blockedUntil) > m_policy.forgetAfterMs)
        e = Entry();
    e.last = nowMs;
    ++e.failures;
    const int over = e.failures - freeFailures;
    if (over <= 0)
        return false;
    const qint64 delay = over > 40 ? m_policy.maxDelayMs
                                   : qMin(m_policy.maxDelayMs, m_policy.firstDelayMs << (over - 1));
    e.blockedUntil = qMax(e.blockedUntil, nowMs + delay);
    const bool first = !e.logged;
    e.logged = true;
    return first;
}

QString FailureLimiter::failed(const QHostAddress &address, qint64 nowMs)
{
    QMutexLocker lock(&m_mutex);
    if (m_entries.size() > ForgetCheckSize)
        forgetQuietPeers(nowMs);
    QString held;
    if (count(m_entries[peerKey(address)], m_policy.freeFailures, nowMs))
        held = address.toString();
    const QByteArray network = networkKey(address);
    if (!network.isEmpty() &&
        count(m_entries[network], m_policy.freeFailures * m_policy.networkShare, nowMs)) {
        Q_IPV6ADDR prefix = ipv6Of(address);
        std::fill(prefix.c + 6, prefix.c + 16, quint8(0));
        held = QHostAddress(prefix).toString() + QStringLiteral("/48");
    }
    return held;
}

void FailureLimiter::succeeded(const QHostAddress &address)
{
    QMutexLocker lock(&m_mutex);
    m_entries.remove(peerKey(address)); // the network's count stays: others there may guess
}

bool FailureLimiter::failedSince(const QHostAddress &address, qint64 sinceMs)
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_entries.constFind(peerKey(address));
    return it != m_entries.cend() && it->failures > 0 && it->last >= sinceMs;
}

void FailureLimiter::forgetQuietPeers(qint64 nowMs)
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (nowMs - qMax(it->last, it->blockedUntil) > m_policy.forgetAfterMs)
            it = m_entries.erase(it);
        else
            ++it;
    }
}
