#pragma once

#include "core/CatalogPage.h"

#include <QString>

// The catalogue's storage: items and credentials in one SQLite database (WAL mode). Every
// write runs in one transaction, so a crash or a failed step leaves the previous state.
class Catalog
{
public:
    enum class List { Admin, Users, All, Pending };
    enum class Result { Done, NotFound, Failed };

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

    Catalog();
    ~Catalog();
    Catalog(const Catalog &) = delete;
    Catalog &operator=(const Catalog &) = delete;

    bool open(const QString &databasePath);
    QString errorString() const { return m_error; }

    bool hasCredentials();
    bool setCredentials(const QString &password, const QString &securityCode);
    bool checkPassword(const QString &password);
    bool setPassword(const QString &password);
    QString securityCode();
    bool checkSecurityCode(const QString &code);
    bool setSecurityCode(const QString &code);

    Page page(List list, const QString &rawPage, const QString &search, int pageSize);
    qint64 itemCount();
    bool fileNameTaken(const QString &fileName);
    qint64 addItem(const NewItem &item); // the new id, or -1
    Result approve(qint64 id);
    Result remove(qint64 id, QString *fileName);
    qint64 countVisit(); // the new total, or -1

private:
    QString setting(const QString &key);
    bool writeSettings(const QList<QPair<QString, QString>> &values);
    bool fail(const QString &what);

    QString m_connection;
    QString m_error;
    // The last accepted password, as a keyed hash that lives only in memory, so that the
    // administrator's repeated requests do not each pay for the slow derivation.
    QByteArray m_cacheKey;
    QByteArray m_acceptedToken;
    QByteArray m_acceptedForHash;
};
