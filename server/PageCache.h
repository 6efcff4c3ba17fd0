#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>

#include <optional>

// Catalog pages as last built, shared by all threads. Every write drops them all; a page built
// from a read that a write overtook is not kept.
class PageCache
{
public:
    explicit PageCache(qsizetype maxBytes = 64 * 1024 * 1024) : m_maxBytes(maxBytes) {}

    // The generation to pass to put() for a page about to be read from the store.
    quint64 generation() const;
    std::optional<QByteArray> get(const QByteArray &key) const;
    void put(const QByteArray &key, const QByteArray &page, quint64 generation);
    void invalidate();

private:
    mutable QMutex m_mutex;
    QHash<QByteArray, QByteArray> m_pages;
    qsizetype m_bytes = 0;
    qsizetype m_maxBytes;
    quint64 m_generation = 0;
};
