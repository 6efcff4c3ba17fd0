#pragma once

#include "StoreResult.h"
#include "core/CatalogPage.h"

#include <QByteArray>
#include <QObject>
#include <QSqlQuery>
#include <QString>

#include <map>

// Where the catalogue lives: an SQLite file (the default), or a PostgreSQL database that
// several instances share.
struct CatalogStore
{
    enum Kind { Sqlite, Postgresql };
    Kind kind = Sqlite;
    QString sqlitePath;
    // PostgreSQL; empty parts are left to libpq (PGHOST, PGUSER, ~/.pgpass...).
    QString host;
    int port = -1;
    QString user;
    QString password; // read from a file, never from the command line
    QString databaseName;
    QString options; // libpq options, e.g. sslmode=require
};

// The catalogue's storage: items and credentials. Every write runs in one transaction, so a
// crash or a failed step leaves the previous state. Each thread uses its own Catalog (its own
// connection); the objects of one process share nothing but the store.
class Catalog : public QObject
{
    Q_OBJECT
public:
    enum class List { Admin, Users, All, Pending };
    // What an approve or delete did.
    enum class Change { Done, AlreadyDone, NotFound };

    struct Page
    {
        QList<tavrel::CatalogRecord> records;
        qint64 recordCount = 0;
        qint64 pageCount = 0;
    };

    struct NewItem
    {
        bool fromAdmin = false;
        bool approved = false;
        QString category;
        QString title;
        QString licence;
        QString fileName;
        QString updated; // now when empty
    };

    // Who asked for an administrator action: recorded with it.
    struct Actor
    {
        QString client; // the client's address
    };

    // One administrator action as the audit keeps it; never a secret.
    struct AuditRecord
    {
        QString action; // approve, delete, password, security-code
        qint64 itemId;  // 0 for none
        QString title;  // null for none
        QString client;
        QString result; // done, already-done, no-such-item
        QString at;     // UTC, 2026-03-01T09:00:00Z
    };

    // The stored administrator password: a salted PBKDF2 digest.
    struct PasswordHash
    {
        QByteArray salt;
        QByteArray hash;
        int iterations = 0;
        bool isValid() const { return !salt.isEmpty() && !hash.isEmpty() && iterations > 0; }
    };

    Catalog();
    ~Catalog() override;

    // Opens a connection; `prepare` also creates or upgrades the tables (once, at start).
    StoreResult<> open(const CatalogStore &store, bool prepare);

    // True when the store answers a trivial query now.
    StoreResult<> ping();

    // Calls back (on this object's thread) when another instance changed the catalogue.
    StoreResult<> watchChanges();

    // Stores the credentials unless a data folder or another instance already has some: true
    // when these were stored, false when others were there first.
    StoreResult<bool> setCredentials(const QString &password, const QString &securityCode);
    StoreResult<bool> hasCredentials();
    StoreResult<PasswordHash> passwordHash();
    StoreResult<> setPassword(const QString &password, const Actor &actor = {});
    StoreResult<QString> securityCode();
    StoreResult<> setSecurityCode(const QString &code, const Actor &actor = {});

    static QByteArray derive(const QString &password, const PasswordHash &stored);
    // What searches look in: category and title, case-folded.
    static QString searchKey(const QString &category, const QString &title);

    // The Qt SQL connection of this object, for the whole-store commands (export, import).
    QString connectionName() const { return m_connection; }
    CatalogStore::Kind kind() const { return m_kind; }

    StoreResult<Page> page(List list, const QString &rawPage, const QString &search, int pageSize);
    StoreResult<qint64> itemCount();
    StoreResult<bool> fileNameTaken(const QString &fileName);
    // The new id; sha256 is the digest of the item's file (32 bytes), empty when not known.
    StoreResult<qint64> addItem(const NewItem &item, const QByteArray &sha256 = {});
    // The SHA-256 of an item's file (32 bytes); empty when the file is no item's, or its digest
    // is not known yet.
    StoreResult<QByteArray> fileDigest(const QString &fileName);
    // The files of the items whose digest is not known yet (a store from before digests).
    StoreResult<QStringList> filesWithoutDigest();
    // Stores the digest of an item's file where none is stored yet.
    StoreResult<> setFileDigest(const QString &fileName, const QByteArray &sha256);
    // Each records itself in the audit, in the same transaction (no actor: catalogd itself).
    StoreResult<Change> approve(qint64 id, const Actor &actor = {});
    StoreResult<Change> remove(qint64 id, QString *fileName, const Actor &actor = {});
    // The audit from `since` (UTC, ISO 8601) on, oldest first.
    StoreResult<QList<AuditRecord>> audit(const QString &since);
    StoreResult<qint64> countVisit(); // the new total

signals:
    void changedElsewhere();

private:
    struct Window;
    StoreResult<QString> setting(const QString &key);
    StoreResult<> writeSettings(const QList<QPair<QString, QString>> &values,
                                const AuditRecord &audit);
    StoreResult<> record(const AuditRecord &entry);
    StoreResult<> recordChange(const AuditRecord &entry, Change change);
    StoreResult<> createSchema();
    StoreResult<> announceChange();
    StoreResult<Page> listRows(List list, const Window &window, qint64 total);
    StoreResult<Page> searchRows(List list, const QString &key, const QString &rawPage,
                                 int pageSize);
    StoreResult<Page> plainRows(List list, const QString &key, const QString &rawPage,
                                int pageSize);
    QSqlQuery &prepared(const QString &sql);

    CatalogStore::Kind m_kind = CatalogStore::Sqlite;
    QString m_connection;
    std::map<QString, QSqlQuery> m_statements;
    QSqlQuery m_unprepared; // the last statement that would not prepare, for its error
};
