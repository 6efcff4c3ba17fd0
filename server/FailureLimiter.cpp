#include "FailureLimiter.h"

namespace {

constexpr qsizetype ForgetCheckSize = 10000; // entries before quiet peers are swept out

} // namespace

FailureLimiter::FailureLimiter() : m_policy(Policy()) {}

QByteArray FailureLimiter::peerKey(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QByteArray::number(v4);
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(v6.c), 8).toHex();
}

bool FailureLimiter::isBlocked(const QByteArray &peer, qint64 nowMs)
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_entries.constFind(peer);
    return it != m_entries.cend() && nowMs < it->blockedUntil;
}

bool FailureLimiter::failed(const QByteArray &peer, qint64 nowMs)
{
    QMutexLocker lock(&m_mutex);
    if (m_entries.size() > ForgetCheckSize)
        forgetQuietPeers(nowMs);
    Entry &e = m_entries[peer];
    if (e.failures > 0 && nowMs - qMax(e.last, e.blockedUntil) > m_policy.forgetAfterMs)
        e = Entry();
    e.last = nowMs;
    ++e.failures;
    const int over = e.failures - m_policy.freeFailures;
    if (over <= 0)
        return false;
    const qint64 delay = over > 40 ? m_policy.maxDelayMs
                                   : qMin(m_policy.maxDelayMs, m_policy.firstDelayMs << (over - 1));
    e.blockedUntil = nowMs + delay;
    const bool first = !e.logged;
    e.logged = true;
    return first;
}

void FailureLimiter::succeeded(const QByteArray &peer)
{
    QMutexLocker lock(&m_mutex);
    m_entries.remove(peer);
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
