#pragma once

#include "StoreResult.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QStringList>
#include <QVariant>

struct pg_conn;

// Rows into PostgreSQL tables through COPY, on the connection (and so in the transaction) of a
// Qt SQL database: for a whole catalogue several times the speed of INSERTs, as the server
// parses no statement per row and works while the rows are still being read. One table's COPY
// is open at a time; rows of another table end it and start that one's.
class PostgresCopy
{
public:
    explicit PostgresCopy(const QSqlDatabase &db);
    // A COPY still open is abandoned, so that the transaction can roll back.
    ~PostgresCopy();
    PostgresCopy(const PostgresCopy &) = delete;
    PostgresCopy &operator=(const PostgresCopy &) = delete;

    // Integers, texts and nulls. A row the server refuses shows when the COPY ends.
    StoreResult<> add(const QString &table, const QStringList &columns, const QVariantList &row);
    StoreResult<> finish();

private:
    StoreResult<> send();
    StoreResult<> end(const char *abandon);
    StoreResult<> failure() const;

    pg_conn *m_connection = nullptr;
    QString m_table; // the table of the open COPY, or empty
    QByteArray m_rows;
};
