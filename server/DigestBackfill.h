#pragma once

#include "Catalog.h"

#include <QString>

#include <atomic>
#include <thread>

// Computes, on a thread of its own, the SHA-256 of the item files that a store from before
// digests has none for, and stores each as soon as it is known. catalogd serves meanwhile:
// those files are answered without Repr-Digest until theirs is stored.
class DigestBackfill
{
public:
    DigestBackfill(const CatalogStore &store, const QString &upDir);
    ~DigestBackfill(); // stops between two reads and waits for the thread
    DigestBackfill(const DigestBackfill &) = delete;
    DigestBackfill &operator=(const DigestBackfill &) = delete;

private:
    void run(const CatalogStore &store, const QString &upDir);
    // The digest of a file, or empty when it cannot be read or the backfill stops.
    QByteArray digestOf(const QString &path);

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
