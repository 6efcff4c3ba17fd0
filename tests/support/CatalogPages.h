#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Catalog pages written out by hand for tests, byte for byte as a list script sends them, so
// that a test of the client never leans on the code under test to make its input.
namespace CatalogPages {

// Rows of any number of fields, then the trailer with the record count exactly as given.
inline QByteArray page(const QList<QStringList> &rows, const QString &recordCount, int pageCount)
{
    QString text;
    for (const QStringList &row : rows)
        text += row.join(QChar(u'\x02')) + QChar(u'\x01');
    text += QStringLiteral("?TtbBa?") + recordCount + QLatin1Char('?') + QString::number(pageCount);
    return text.toUtf8();
}

// A record count that matches the rows.
inline QByteArray page(const QList<QStringList> &rows, int pageCount)
{
    return page(rows, QString::number(rows.size()), pageCount);
}

// One six-field row: category, title, licence, update time, file name, id.
inline QStringList item(int id, const QString &title,
                        const QString &fileName = QStringLiteral("f.zip"))
{
    return {QStringLiteral("工具"),
            title,
            QStringLiteral("免费"),
            QStringLiteral("2024-03-01 09:00:00"),
            fileName,
            QString::number(id)};
}

// n rows titled prefix0, prefix1...; file names file0.zip...; ids from 100.
inline QList<QStringList> items(int n, const QString &titlePrefix = QStringLiteral("标题"))
{
    QList<QStringList> rows;
    for (int i = 0; i < n; ++i)
        rows.append(
            item(100 + i, titlePrefix + QString::number(i), QStringLiteral("file%1.zip").arg(i)));
    return rows;
}

} // namespace CatalogPages
