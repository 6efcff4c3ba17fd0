#include "PostgresCopy.h"

#include <QSqlDriver>

#include <libpq-fe.h>

namespace {

constexpr qsizetype SendAt = 256 * 1024;

// COPY's text format: tab between fields, \N for null, and backslash escapes for the
// characters that would end a field or a row.
void appendField(QByteArray &out, const QVariant &value)
{
    if (value.isNull()) {
        out += "\\N";
        return;
    }
    switch (value.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::Bool:
        out += QByteArray::number(value.toLongLong());
        return;
    default:
        break;
    }
    const QByteArray text = value.toString().toUtf8();
    for (const char c : text) {
        const char escaped = c == '\\'   ? '\\'
                             : c == '\t' ? 't'
                             : c == '\n' ? 'n'
                             : c == '\r' ? 'r'
                                         : 0;
        if (escaped) {
            out += '\\';
            out += escaped;
        } else {
            out += c;
        }
    }
}

// The server's words and what they concern, such as the key that is there already; not the
// line of the COPY, which is no line of the file that the rows came from.
StoreFailure refusal(const PGresult *result)
{
    QString message = QString::fromUtf8(PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY));
    if (const char *detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL))
        message += QStringLiteral(" (") + QString::fromUtf8(detail) + u')';
    return StoreFailure{message};
}

} // namespace

PostgresCopy::PostgresCopy(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    // Named after the struct by Qt 6, after libpq's typedef by older Qt.
    if (handle.isValid() &&
        (qstrcmp(handle.typeName(), "pg_conn*") == 0 || qstrcmp(handle.typeName(), "PGconn*") == 0))
        m_connection = *static_cast<PGconn *const *>(handle.constData());
}

PostgresCopy::~PostgresCopy()
{
    if (!m_table.isEmpty())
        end("the import was abandoned");
}

StoreResult<> PostgresCopy::add(const QString &table, const QStringList &columns,
                                const QVariantList &row)
{
    if (!m_connection)
        return StoreFailure{QStringLiteral("no PostgreSQL connection to copy into")};
    if (table != m_table) {
        if (const StoreResult<> ended = finish(); !ended)
            return ended;
        const QByteArray copy =
            QStringLiteral("COPY %1 (%2) FROM STDIN").arg(table, columns.join(u", ")).toUtf8();
        PGresult *result = PQexec(m_connection, copy.constData());
        const bool started = PQresultStatus(result) == PGRES_COPY_IN;
        PQclear(result);
        if (!started)
            return failure();
        m_table = table;
    }
    for (qsizetype i = 0; i < row.size(); ++i) {
        if (i > 0)
            m_rows += '\t';
        appendField(m_rows, row[i]);
    }
    m_rows += '\n';
    return m_rows.size() >= SendAt ? send() : StoreResult<>();
}

StoreResult<> PostgresCopy::finish()
{
    if (m_table.isEmpty())
        return {};
    if (const StoreResult<> sent = send(); !sent) {
        end("the import failed");
        return sent;
    }
    return end(nullptr);
}

StoreResult<> PostgresCopy::send()
{
    if (m_rows.isEmpty())
        return {};
    const int sent = PQputCopyData(m_connection, m_rows.constData(), int(m_rows.size()));
    m_rows.resize(0); // keeps the buffer for the next rows
    return sent == 1 ? StoreResult<>() : failure();
}

// Ends the open COPY (`abandon` says why, when its rows are to be thrown away) and takes its
// results, so that the connection takes statements again.
StoreResult<> PostgresCopy::end(const char *abandon)
{
    m_table.clear();
    m_rows.clear();
    StoreResult<> outcome;
    if (PQputCopyEnd(m_connection, abandon) != 1)
        outcome = failure();
    while (PGresult *result = PQgetResult(m_connection)) {
        if (outcome && PQresultStatus(result) != PGRES_COMMAND_OK)
            outcome = refusal(result);
        PQclear(result);
    }
    return abandon ? StoreResult<>() : outcome;
}

StoreResult<> PostgresCopy::failure() const
{
    return StoreFailure{QString::fromUtf8(PQerrorMessage(m_connection)).trimmed()};
}
