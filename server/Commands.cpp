#include "Commands.h"

#include "CatalogTransfer.h"
#include "Log.h"

#include <QFile>
#include <QSaveFile>

#include <cstdio>

#include <sys/stat.h>

int failure(int status, const QString &message)
{
    qCCritical(lcServer).noquote() << message;
    return status;
}

namespace {

void say(const QString &text)
{
    qCInfo(lcAnnounce).noquote() << text;
}

QString countsText(const CatalogTransfer::Counts &c)
{
    return QStringLiteral("%1 items, %2 deleted ids, %3 settings, %4 audit records")
        .arg(c.items)
        .arg(c.deleted)
        .arg(c.settings)
        .arg(c.audit);
}

// The file holds the password's digest and the security code: only its owner reads it, and
// it appears under its name only when whole.
int exportCatalogue(Catalog &catalog, const QString &path)
{
    const mode_t previous = ::umask(077);
    QSaveFile file(path);
    const bool opened = file.open(QIODevice::WriteOnly);
    ::umask(previous);
    if (!opened)
        return failure(CannotServe,
                       QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    const StoreResult<CatalogTransfer::Counts> counts = CatalogTransfer::exportTo(catalog, &file);
    if (!counts)
        return failure(CannotServe, QStringLiteral("export failed: ") + counts.error());
    if (!file.commit())
        return failure(CannotServe,
                       QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    say(QStringLiteral("exported %1 to %2").arg(countsText(*counts), path));
    return 0;
}

int importCatalogue(Catalog &catalog, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failure(CannotServe,
                       QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    const StoreResult<CatalogTransfer::Counts> counts = CatalogTransfer::importFrom(catalog, &file);
    if (!counts)
        return failure(CannotServe,
                       QStringLiteral("nothing imported from %1: %2").arg(path, counts.error()));
    say(QStringLiteral("imported %1 from %2").arg(countsText(*counts), path));
    return 0;
}

int printAudit(Catalog &catalog, const QDate &since)
{
    const QString from = since.isValid() ? since.startOfDay(Qt::UTC).toString(Qt::ISODate)
                                         : QStringLiteral("0000"); // before any time
    const StoreResult<QList<Catalog::AuditRecord>> records = catalog.audit(from);
    if (!records)
        return failure(CannotServe, QStringLiteral("cannot read the audit: ") + records.error());
    // One line per action: time, client, action, item, result, title (last: it may hold blanks).
    for (const Catalog::AuditRecord &r : *records) {
        const QString item = r.itemId > 0 ? QString::number(r.itemId) : QStringLiteral("-");
        const QString title = r.title.isNull() ? QStringLiteral("-") : r.title;
        const QString client = r.client.isEmpty() ? QStringLiteral("-") : r.client;
        const QByteArray line = QStringLiteral("%1 %2 %3 %4 %5 %6\n")
                                    .arg(r.at, client, r.action, item, r.result, title)
                                    .toUtf8();
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    }
    std::fflush(stdout);
    return 0;
}

} // namespace

int runCommand(const ServerOptions &options, const CatalogStore &store)
{
    using Command = ServerOptions::Command;
    const bool sqlite = store.kind == CatalogStore::Sqlite;
    if (options.command == Command::Backup && !sqlite)
        return failure(BadUsage, QStringLiteral("--backup copies an SQLite catalogue; back up a"
                                                " PostgreSQL one with pg_dump (see the README)"));
    // Only an import makes a store; the others read one that is there.
    if (sqlite && options.command != Command::Import && !QFile::exists(store.sqlitePath))
        return failure(CannotServe, QStringLiteral("no catalogue at %1").arg(store.sqlitePath));
    Catalog catalog;
    // A backup copies the store as it is; the others need the tables this catalogd knows.
    const StoreResult<> opened = catalog.open(store, options.command != Command::Backup);
    if (!opened)
        return failure(CannotServe, QStringLiteral("cannot open the database: ") + opened.error());
    switch (options.command) {
    case Command::Export:
        return exportCatalogue(catalog, options.commandFile);
    case Command::Import:
        return importCatalogue(catalog, options.commandFile);
    case Command::Audit:
        return printAudit(catalog, options.auditSince);
    case Command::Backup:
        if (const StoreResult<> copied =
                CatalogTransfer::backupSqlite(catalog, options.commandFile);
            !copied)
            return failure(CannotServe, QStringLiteral("backup failed: ") + copied.error());
        say(QStringLiteral("backup written to %1").arg(options.commandFile));
        return 0;
    case Command::Serve:
        break;
    }
    return BadUsage;
}
