#pragma once

#include "core/CatalogPage.h"

#include <QByteArray>
#include <QObject>
#include <QString>

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
    enum class Result { Done, AlreadyDone, NotFound, Failed };

    struct Page
    {
        QList<tavrel::CatalogRecord> records;
        qint64 recordCount = 0;
        qint64 pageCount = 0;
        bool ok = false;
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

    // Opens a connection; `prepare` also creates the tables (once, at start).
    bool open(const CatalogStore &store, bool prepare);
    QString errorString() const { return m_error; }

    // Calls back (on this object's thread) when another instance changed the catalogue.
    bool watchChanges();

    // Stores the credentials unless a data folder or another instance already has some; true
    // when these were stored, false with an empty errorString when others were there first.
    bool setCredentials(const QString &password, const QString &securityCode);
    bool hasCredentials();
    PasswordHash passwordHash();
    bool setPassword(const QString &password);
    QString securityCode();
    bool setSecurityCode(const QString &code);

    static QByteArray derive(const QString &password, const PasswordHash &stored);

    Page page(List list, const QString &rawPage, const QString &search, int pageSize);
    qint64 itemCount();
    bool fileNameTaken(const QString &fileName);
    qint64 addItem(const NewItem &item); // the new id, or -1
    Result approve(qint64 id);
    Result remove(qint64 id, QString *fileName);
    qint64 countVisit(); // the new total, or -1

signals:
    void changedElsewhere();

private:
    QString setting(const QString &key);
    bool writeSettings(const QList<QPair<QString, QString>> &values);
    bool createSchema();
    bool announceChange();
    bool fail(const QString &what);

    CatalogStore::Kind m_kind = CatalogStore::Sqlite;
    QString m_connection;
    QString m_error;
};
