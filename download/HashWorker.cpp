#include "download/HashWorker.h"

HashWorker::HashWorker() : m_thread([this] { run(); }) {}

HashWorker::~HashWorker()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void HashWorker::add(const QByteArray &piece)
{
    if (piece.isEmpty())
        return;
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_waitingBytes < MaxWaiting; });
    m_waiting.push_back(piece);
    m_waitingBytes += piece.size();
    lock.unlock();
    m_changed.notify_all();
}

QByteArray HashWorker::result()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_waiting.empty() && !m_busy; });
    return m_hash.result();
}

void HashWorker::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || !m_waiting.empty(); });
        if (m_stop)
            return;
        const QByteArray piece = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_busy = true;
        lock.unlock();
        m_hash.add(piece);
        lock.lock();
        m_busy = false;
        m_waitingBytes -= piece.size();
        m_changed.notify_all();
    }
}
