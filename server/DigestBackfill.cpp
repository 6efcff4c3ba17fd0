#include "DigestBackfill.h"

#include "Log.h"

#include "core/Sha256.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

DigestBackfill::DigestBackfill(const CatalogStore &store, const QString &upDir)
    : m_thread([this, store, upDir] { run(store, upDir); })
{
}

DigestBackfill::~DigestBackfill()
{
    m_stop = true;
    m_thread.join();
}

void DigestBackfill::run(const CatalogStore &store, const QString &upDir)
{
    Catalog catalog; // a connection of this thread's own
    StoreResult<QStringList> files = StoreFailure{};
    if (const StoreResult<> opened = catalog.open(store, false); opened)
        files = catalog.filesWithoutDigest();
    if (!files) {
        qCWarning(lcServer).noquote() << "the digests of older item files are not computed:"
                                      << files.error();
        return;
    }
    if (files->isEmpty())
        return;
    qCInfo(lcServer, "computing the digests of %lld item files stored without one",
           qint64(files->size()));
    QElapsedTimer timer;
    timer.start();
    qint64 done = 0;
    for (const QString &name : *files) {
        const QByteArray digest = digestOf(QDir(upDir).filePath(name));
        if (m_stop)
            return;
        if (digest.isEmpty())
            continue; // a file that is missing stays without, as it is answered 404 anyway
        if (const StoreResult<> stored = catalog.setFileDigest(name, digest); !stored) {
            qCWarning(lcServer).noquote() << "cannot store the digest of" << name << ":"
                                          << stored.error();
            return;
        }
        ++done;
    }
    qCInfo(lcServer, "digests of %lld item files computed in %.1f s", done,
           timer.elapsed() / 1000.0);
}

QByteArray DigestBackfill::digestOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    tavrel::Sha256 hash;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (;;) {
        if (m_stop)
            return {};
        const qint64 n = file.read(block.data(), block.size());
        if (n < 0)
            return {};
        if (n == 0)
            return hash.result();
        hash.add(QByteArrayView(block).first(n));
    }
}
