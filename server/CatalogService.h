#pragma once

#include "Catalog.h"
#include "FailureLimiter.h"
#include "HttpServer.h"
#include "PageCache.h"
#include "PasswordChecks.h"
#include "core/AdminOperation.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <QThreadStorage>

#include <atomic>
#include <functional>
#include <memory>

// The catalogue's routes: the two list scripts, the administration script, item files, the
// upload page and the statistics page. handle() runs on any of the server's threads; each
// thread reads and writes through a store connection of its own, and the slow password
// derivations run on a pool of their own.
class CatalogService
{
public:
    struct Settings
    {
        CatalogStore store;
        QString upDir;   // item files
        QString tempDir; // uploads being received
        int pageSize = 20;
        qint64 maxUploadSize = 64 * 1024 * 1024;
        int derivationsPerPeer = 2; // password checks in flight for one address
        int derivationQueue = 64;   // password checks waiting, all addresses together
        int freeFailures = 5;       // wrong guesses from one address before delays start
        QString accelRedirect;      // when set, item files are handed to the proxy under it
        // Moves on when the store was lost: each thread then opens its connection again.
        const std::atomic<quint64> *storeGeneration = nullptr;
    };

    explicit CatalogService(Settings settings);
    ~CatalogService();

    void handle(const HttpRequest &request, const HttpReply &reply);

    // Drops the cached pages (a change made by another instance).
    void catalogueChanged() { m_pages.invalidate(); }
    // The catalogue of the calling thread.
    Catalog &catalog();

private:
    enum class Check { Accepted, Refused, Busy };
    using Verdict = std::function<void(Check)>;

    HttpResponse listPage(const HttpRequest &request, Catalog::List list);
    void examine(const HttpRequest &request, const HttpReply &reply);
    HttpResponse authorised(const HttpRequest &request, tavrel::AdminOperation operation);
    void checkPassword(const HttpRequest &request, const Verdict &verdict);
    HttpResponse changePassword(const QString &next, const Catalog::Actor &actor);
    HttpResponse changeSecurityCode(const QString &next, const Catalog::Actor &actor);
    HttpResponse moderate(tavrel::AdminOperation operation, const QString &idText,
                          const Catalog::Actor &actor);
    HttpResponse itemFile(const HttpRequest &request, const QString &name);
    HttpResponse uploadForm();
    HttpResponse upload(const HttpRequest &request);
    HttpResponse checkUploadFields(const UploadForm &form);
    HttpResponse store(const HttpRequest &request, const UploadForm &form);
    HttpResponse statistics();

    QString uniqueFileName(const QString &wanted);
    QByteArray rememberedToken(const QString &password) const;
    Catalog::PasswordHash passwordHash();

    struct PerThread;
    PerThread &local();

    Settings m_settings;
    PageCache m_pages;
    FailureLimiter m_passwordFailures;
    FailureLimiter m_codeFailures;
    std::unique_ptr<PasswordChecks> m_derivations;
    QThreadStorage<PerThread *> m_threads;

    QMutex m_mutex; // guards what follows
    QHash<QByteArray, int> m_derivingPerPeer;
    Catalog::PasswordHash m_storedHash;
    quint64 m_storedHashGeneration = 0;
    // The password last accepted, as a keyed hash that lives only in memory, so that the
    // administrator's repeated requests do not each pay for the slow derivation; bound to the
    // stored digest, so a change by any instance ends it.
    QByteArray m_tokenKey;
    QByteArray m_acceptedToken;
    QByteArray m_acceptedForHash;
};
