#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QWaitCondition>

#include <deque>
#include <functional>

class QThread;

// The slow password derivations, shared fairly between the addresses that ask: a few threads
// take the waiting checks in turns, one address after another, and the checks of addresses
// without a recent wrong password go before all others, so that a crowd of guessers cannot
// keep the administrator waiting. The queue is bounded: when it is full, a check from such a
// quiet address takes the place of the newest check of a guesser, and any other is refused.
class PasswordChecks
{
public:
    using Job = std::function<void()>;

    PasswordChecks(int threads, int capacity);
    ~PasswordChecks(); // what still waits is dropped

    // Queues `run` for a worker thread, or refuses it (false). A queued check that loses its
    // place, or is still waiting at the end, gets `dropped` instead, on whatever thread.
    bool submit(const QByteArray &peer, bool quiet, Job run, Job dropped);

    // PBKDF2 with HMAC-SHA256, as stored passwords were made.
    static QByteArray pbkdf2Sha256(const QByteArray &password, const QByteArray &salt,
                                   int iterations, int length);

private:
    struct Check
    {
        quint64 serial = 0;
        Job run;
        Job dropped;
    };
    // The checks of one kind of address (quiet, or guessing), and whose turn is next.
    struct Line
    {
        std::deque<QByteArray> turns;
        QHash<QByteArray, std::deque<Check>> checks;
    };

    bool takeNext(Check *check);
    bool dropNewest(Line &line, Check *dropped);
    void work();

    const int m_capacity;
    QList<QThread *> m_threads;
    QMutex m_mutex;
    QWaitCondition m_wake;
    Line m_quiet;
    Line m_guessing;
    int m_queued = 0;
    quint64 m_serial = 0;
    bool m_stopping = false;
};
