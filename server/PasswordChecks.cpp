#include "PasswordChecks.h"

#include "core/Sha256.h"

#include <QThread>

#include <algorithm>

#include <openssl/evp.h>

PasswordChecks::PasswordChecks(int threads, int capacity) : m_capacity(capacity)
{
    for (int i = 0; i < qMax(1, threads); ++i) {
        QThread *thread = QThread::create([this] { work(); });
        thread->setObjectName(QStringLiteral("catalogd-pw-%1").arg(i));
        thread->start();
        m_threads.append(thread);
    }
}

PasswordChecks::~PasswordChecks()
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_wake.wakeAll();
    }
    for (QThread *thread : std::as_const(m_threads)) {
        thread->wait();
        delete thread;
    }
    for (Line *line : {&m_quiet, &m_guessing}) {
        for (auto &checks : line->checks) {
            for (Check &check : checks)
                check.dropped();
        }
    }
}

bool PasswordChecks::submit(const QByteArray &peer, bool quiet, Job run, Job dropped)
{
    Check displaced;
    bool hasDisplaced = false;
    {
        QMutexLocker lock(&m_mutex);
        if (m_stopping)
            return false;
        if (m_queued >= m_capacity) {
            if (!quiet || !dropNewest(m_guessing, &displaced))
                return false;
            hasDisplaced = true;
        }
        Line &line = quiet ? m_quiet : m_guessing;
        std::deque<Check> &checks = line.checks[peer];
        if (checks.empty())
            line.turns.push_back(peer);
        checks.push_back(Check{++m_serial, std::move(run), std::move(dropped)});
        ++m_queued;
        m_wake.wakeOne();
    }
    if (hasDisplaced)
        displaced.dropped();
    return true;
}

// The first in turn of the quiet addresses, else of the others; each address goes to the end
// of its line after one check.
bool PasswordChecks::takeNext(Check *check)
{
    for (Line *line : {&m_quiet, &m_guessing}) {
        if (line->turns.empty())
            continue;
        const QByteArray peer = line->turns.front();
        line->turns.pop_front();
        std::deque<Check> &checks = line->checks[peer];
        *check = std::move(checks.front());
        checks.pop_front();
        if (checks.empty())
            line->checks.remove(peer);
        else
            line->turns.push_back(peer);
        --m_queued;
        return true;
    }
    return false;
}

bool PasswordChecks::dropNewest(Line &line, Check *dropped)
{
    auto newest = line.checks.end();
    for (auto it = line.checks.begin(); it != line.checks.end(); ++it) {
        if (newest == line.checks.end() || it->back().serial > newest->back().serial)
            newest = it;
    }
    if (newest == line.checks.end())
        return false;
    *dropped = std::move(newest->back());
    newest->pop_back();
    if (newest->empty()) {
        line.turns.erase(std::find(line.turns.begin(), line.turns.end(), newest.key()));
        line.checks.erase(newest);
    }
    --m_queued;
    return true;
}

void PasswordChecks::work()
{
    for (;;) {
        Check check;
        {
            QMutexLocker lock(&m_mutex);
            bool taken = false;
            while (!m_stopping && !(taken = takeNext(&check)))
                m_wake.wait(&m_mutex);
            if (!taken)
                break;
        }
        check.run();
    }
    tavrel::releaseThreadCrypto();
}

QByteArray PasswordChecks::pbkdf2Sha256(const QByteArray &password, const QByteArray &salt,
                                        int iterations, int length)
{
    QByteArray out(length, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()),
                          reinterpret_cast<const unsigned char *>(salt.constData()),
                          int(salt.size()), iterations, EVP_sha256(), length,
                          reinterpret_cast<unsigned char *>(out.data())) != 1)
        return {};
    return out;
}
