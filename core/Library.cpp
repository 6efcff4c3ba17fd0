#include "core/Library.h"

#include "core/ItemPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace tavrel {

namespace {

constexpr int recordVersion = 1;

QJsonObject toJson(const LibraryEntry &e)
{
    QJsonObject o{{QStringLiteral("server"), e.server},
                  {QStringLiteral("id"), e.id},
                  {QStringLiteral("title"), e.title},
                  {QStringLiteral("fileName"), e.fileName},
                  {QStringLiteral("updated"), e.updated},
                  {QStringLiteral("size"), double(e.size)},
                  {QStringLiteral("downloadedAt"), e.downloadedAt.toString(Qt::ISODate)}};
    if (!e.digest.isEmpty())
        o.insert(QStringLiteral("digest"), e.digest);
    return o;
}

std::optional<LibraryEntry> fromJson(const QJsonValue &value)
{
    const QJsonObject o = value.toObject();
    LibraryEntry e;
    e.server = o.value(QStringLiteral("server")).toString();
    e.id = o.value(QStringLiteral("id")).toString();
    e.title = o.value(QStringLiteral("title")).toString();
    e.fileName = o.value(QStringLiteral("fileName")).toString();
    e.updated = o.value(QStringLiteral("updated")).toString();
    const QJsonValue size = o.value(QStringLiteral("size"));
    e.size = size.isDouble() ? qint64(size.toDouble()) : -1;
    e.digest = o.value(QStringLiteral("digest")).toString();
    e.downloadedAt =
        QDateTime::fromString(o.value(QStringLiteral("downloadedAt")).toString(), Qt::ISODate);
    if (e.server.isEmpty() || e.fileName.isEmpty() || e.size < 0)
        return std::nullopt;
    return e;
}

QString tr(const char *text)
{
    return QCoreApplication::translate("Library", text);
}

} // namespace

QString LibraryRecord::fileFor(const QString &libraryRoot)
{
    QString root = QDir::cleanPath(QDir::fromNativeSeparators(libraryRoot));
    const qsizetype cut = root.lastIndexOf(QLatin1Char('/'));
    return (cut >= 0 ? root.left(cut + 1) : QString()) + QStringLiteral("library.json");
}

LibraryRecord LibraryRecord::load(const QString &file, QString *warning)
{
    LibraryRecord record;
    QFile in(file);
    if (!in.exists())
        return record;
    auto damaged = [&](const QString &why) {
        if (warning)
            *warning =
                tr("下载记录“%1”无法读取（%2），已忽略。").arg(QDir::toNativeSeparators(file), why);
        return LibraryRecord();
    };
    // A record of tens of thousands of downloads is a few MiB; anything far beyond is no record.
    constexpr qint64 cap = 64 * 1024 * 1024;
    if (!in.open(QIODevice::ReadOnly))
        return damaged(in.errorString());
    if (in.size() > cap)
        return damaged(tr("文件过大"));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(in.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        return damaged(error.errorString());
    const QJsonObject top = doc.object();
    if (!doc.isObject() || top.value(QStringLiteral("version")).toInt() != recordVersion ||
        !top.value(QStringLiteral("items")).isArray())
        return damaged(tr("格式不对"));
    for (const QJsonValue &item : top.value(QStringLiteral("items")).toArray()) {
        std::optional<LibraryEntry> entry = fromJson(item);
        if (!entry)
            return damaged(tr("格式不对"));
        record.put(std::move(*entry));
    }
    return record;
}

bool LibraryRecord::save(const QString &file, QString *error) const
{
    QJsonArray items;
    for (const LibraryEntry &e : m_entries)
        items.append(toJson(e));
    const QJsonObject top{{QStringLiteral("version"), recordVersion},
                          {QStringLiteral("items"), items}};
    QSaveFile out(file);
    if (out.open(QIODevice::WriteOnly) &&
        out.write(QJsonDocument(top).toJson(QJsonDocument::Indented)) >= 0 && out.commit())
        return true;
    if (error)
        *error = out.errorString();
    return false;
}

void LibraryRecord::put(LibraryEntry entry)
{
    for (LibraryEntry &e : m_entries) {
        if (e.server == entry.server && e.id == entry.id) {
            e = std::move(entry);
            return;
        }
    }
    m_entries.append(std::move(entry));
}

qsizetype LibraryRecord::removeIf(const std::function<bool(const LibraryEntry &)> &pick)
{
    return m_entries.removeIf(pick);
}

const LibraryEntry *LibraryRecord::find(const QString &server, const QString &id) const
{
    for (const LibraryEntry &e : m_entries) {
        if (e.server == server && e.id == id)
            return &e;
    }
    return nullptr;
}

std::optional<std::pair<QDate, QTime>> parseUpdated(const QString &text)
{
    if (text.size() != 19 || text.at(10) != QLatin1Char(' '))
        return std::nullopt;
    const QDate date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return std::pair{date, time};
}

ItemMark markFor(const LibraryRecord &record, const QString &libraryRoot, const RowItem &row,
                 const std::function<qint64(const QString &path)> &fileSize)
{
    ItemMark mark;
    const std::optional<ItemTarget> target = itemTarget(libraryRoot, row.title, row.fileName);
    if (!target)
        return mark; // a name that could never have been downloaded
    const qint64 size = fileSize(target->saveFile);
    if (size >= 0) {
        mark.downloaded = true;
        mark.kind = ItemMark::Downloaded;
        const LibraryEntry *own = record.find(row.server, row.id);
        if (own && own->title == row.title && own->fileName == row.fileName) {
            if (own->size == size) {
                mark.kind = ItemMark::Verified;
                mark.digest = own->digest;
            } else {
                mark.sizeDiffers = true;
            }
        }
    }

    const std::optional<std::pair<QDate, QTime>> rowTime = parseUpdated(row.updated);
    if (!rowTime)
        return mark;
    std::optional<std::pair<QDate, QTime>> newest;
    for (const LibraryEntry &e : record.entries()) {
        if (e.server != row.server || e.title != row.title)
            continue;
        const std::optional<std::pair<QDate, QTime>> time = parseUpdated(e.updated);
        if (!time || (newest && *time <= *newest))
            continue;
        const std::optional<ItemTarget> copy = itemTarget(libraryRoot, e.title, e.fileName);
        if (!copy || fileSize(copy->saveFile) < 0)
            continue; // that copy is gone from the disk
        newest = time;
        mark.installedUpdated = e.updated;
    }
    if (newest && *newest < *rowTime)
        mark.kind = ItemMark::Update;
    else
        mark.installedUpdated.clear();
    return mark;
}

} // namespace tavrel
