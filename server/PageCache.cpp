#include "PageCache.h"

#include "Metrics.h"

quint64 PageCache::generation() const
{
    QMutexLocker lock(&m_mutex);
    return m_generation;
}

std::optional<QByteArray> PageCache::get(const QByteArray &key) const
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_pages.constFind(key);
    Metrics::instance().countCache(it != m_pages.cend());
    if (it == m_pages.cend())
        return std::nullopt;
    return *it;
}

void PageCache::put(const QByteArray &key, const QByteArray &page, quint64 generation)
{
    QMutexLocker lock(&m_mutex);
    if (generation != m_generation || m_pages.contains(key))
        return;
    if (m_bytes + page.size() + key.size() > m_maxBytes) {
        // Full of searches nobody repeats, most likely: start over.
        m_pages.clear();
        m_bytes = 0;
    }
    m_pages.insert(key, page);
    m_bytes += page.size() + key.size();
}

void PageCache::invalidate()
{
    QMutexLocker lock(&m_mutex);
    ++m_generation;
    m_pages.clear();
    m_bytes = 0;
}
