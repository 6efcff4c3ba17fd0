#pragma once

#include "core/Sha256.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// SHA-256 of a download, computed on a thread of its own while the control writes the pieces
// to disk: hashing on the thread that writes would cost a fast download a quarter of its speed.
// The pieces are shared, not copied; at most a few MiB wait, then add() waits for the hash.
class HashWorker
{
public:
    HashWorker();
    ~HashWorker();
    HashWorker(const HashWorker &) = delete;
    HashWorker &operator=(const HashWorker &) = delete;

    void add(const QByteArray &piece);
    // The digest of every piece added so far, once they are all hashed.
    QByteArray result();

private:
    void run();

    static constexpr qint64 MaxWaiting = 8 * 1024 * 1024;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QByteArray> m_waiting;
    qint64 m_waitingBytes = 0;
    bool m_busy = false; // a piece is being hashed
    bool m_stop = false;
    tavrel::Sha256 m_hash; // touched by the worker only while m_busy
    std::thread m_thread;
};
