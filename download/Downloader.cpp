#include "download/Downloader.h"

#include "core/Digest.h"
#include "download/DownloadLog.h"
#include "net/HttpPolicy.h"

#include <QFileInfo>
#include <QSaveFile>
#include <QStorageInfo>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

using namespace std::chrono_literals;

namespace {

// How often the free space is looked at while a file is written.
constexpr qint64 SpaceCheckEvery = 4 * 1024 * 1024;

QString diskFullText()
{
    return Downloader::tr("磁盘空间不足，无法保存文件");
}

using tavrel::digestText;

// The staged file is flushed to disk before it takes the target's place, so that a crash can
// never leave a partial file there. Starting the disk writes while the download still runs
// leaves that final flush little to do.
void startWriteback(QSaveFile *file, qint64 justWritten)
{
#ifdef Q_OS_LINUX
    constexpr qint64 window = 16 * 1024 * 1024;
    const qint64 written = file->pos();
    if (written / window == (written - justWritten) / window)
        return;
    if (file->flush())
        ::sync_file_range(file->handle(), 0, 0, SYNC_FILE_RANGE_WRITE); // does not wait
#else
    Q_UNUSED(file);
    Q_UNUSED(justWritten);
#endif
}

} // namespace

Downloader::Downloader(std::unique_ptr<FetchService> service, ErrorBox errorBox, QObject *parent)
    : QObject(parent), m_service(std::move(service)),
      m_errorBox(std::move(errorBox)), m_retryWaits{1s, 2s, 4s, 8s, 16s},
      m_freeSpace([](const QString &folder) { return QStorageInfo(folder).bytesAvailable(); })
{
    Q_ASSERT(m_service);
    connect(m_service.get(), &FetchService::progress, this, &Downloader::onProgress);
    connect(m_service.get(), &FetchService::dataArrived, this, &Downloader::onData);
    connect(m_service.get(), &FetchService::completed, this, &Downloader::onCompleted);
    SizeIt();
    FileList.clear();
    StatusList.clear();
}

Downloader::~Downloader()
{
    // Nothing may reach the handlers of a control that is going away.
    m_service->disconnect(this);
    if (!FileList.isEmpty())
        CancelAllDownload();
    m_running.clear();
}

void Downloader::setRetryWaits(const QList<std::chrono::milliseconds> &waits)
{
    m_retryWaits = waits;
}

void Downloader::setFreeSpace(FreeSpace freeSpace)
{
    m_freeSpace = std::move(freeSpace);
}

bool Downloader::BeginDownload(const QString &URL, const QString &SaveFile,
                               std::optional<int> AsyncReadOptions)
{
    if (const auto refusal = m_service->start(URL, SaveFile, AsyncReadOptions)) {
        qCWarning(lcDownload).noquote()
            << "download to" << SaveFile << "from" << tavrel::http::urlForLog(URL)
            << "refused:" << refusal->number << refusal->description;
        if (m_errorBox)
            m_errorBox(errorText(refusal->number, Operation::BeginDownload, refusal->description));
        return false;
    }
    // The service accepted a new fetch under this key: whatever an earlier one staged is stale.
    discardStaging(SaveFile);
    m_verified.remove(SaveFile);
    Running &running = m_running[SaveFile];
    running.url = URL;
    running.options = AsyncReadOptions;
    FileList.append(SaveFile);
    StatusList.append(255);
    return true;
}

bool Downloader::CancelAllDownload()
{
    const QStringList listed = FileList;
    for (qsizetype i = 0; i < listed.size(); ++i) {
        const QString &key = listed.at(i);
        const quint8 status = StatusList.at(i);
        if (status != FetchRecord::Failure && status != FetchRecord::AllData)
            qCInfo(lcDownload).noquote() << "download to" << key << "cancelled";
        qCDebug(lcDownload).noquote() << QStringLiteral("Killing download ") + key;
        m_service->cancel(key);
        discardStaging(key);
    }
    FileList.clear();
    StatusList.clear();
    return true;
}

void Downloader::SizeIt()
{
    // Nothing is drawn; the size only keeps a place in a layout, in pixels.
    m_size = QSize(32, 32);
}

QString Downloader::errorText(int number, Operation operation, const QString &description)
{
    // The character between 调用 and SizeIt is an ideographic space, as it always was.
    const QString text = operation == Operation::BeginDownload
                             ? tr("%1:错误在调用 BeginDownload().\r\n\r\n错误描述: %2")
                             : tr("%1:错误在调用\u3000SizeIt().\r\n\r\n错误描述: %2");
    return text.arg(QString::number(number), description);
}

QString Downloader::verificationFailedText()
{
    return tr("文件校验失败，下载的文件与服务器发布的不一致，未保存。");
}

void Downloader::onProgress(const FetchRecord &record)
{
    const FetchRecord r = record;
    if (r.statusCode == FetchRecord::FirstData) {
        const auto it = m_running.find(r.key);
        if (it != m_running.end()) {
            Running &running = it->second;
            if (r.startsAt == 0) {
                if (running.written > 0) {
                    // The server sends the whole file again: what was written is dropped.
                    if (running.file)
                        running.file->cancelWriting();
                    running.file.reset();
                    running.written = 0;
                    running.hash.reset();
                }
                // This answer describes the file for the whole download.
                running.total = r.bytesMax;
                running.validator = r.validator;
                running.digest = r.digest;
            } else if (running.digest.isEmpty()) {
                // Published only now: the hash covers the kept part all the same.
                running.digest = r.digest;
            }
        }
    }
    if (r.bytesMax != 0)
        emit DownloadProgress(r.bytesRead, r.bytesMax, r.key);

    switch (r.statusCode) {
    case FetchRecord::Sending:
        qCDebug(lcDownload).noquote()
            << "Attempting to connect" << tavrel::http::urlForLog(r.target);
        break;
    case FetchRecord::Connecting:
        qCDebug(lcDownload).noquote() << "Connecting" << r.statusText;
        break;
    case FetchRecord::FirstData:
        qCDebug(lcDownload).noquote() << "Begin downloading" << r.statusText;
        break;
    case FetchRecord::Redirecting:
        qCDebug(lcDownload).noquote() << "Redirecting" << r.statusText;
        break;
    case FetchRecord::AllData:
        qCDebug(lcDownload).noquote() << "Download complete" << r.statusText;
        break;
    case FetchRecord::Failure:
        qCDebug(lcDownload).noquote() << "Error...aborting transfer" << r.statusText;
        qCWarning(lcDownload).noquote() << "download to" << r.key << "stopped:" << r.statusText;
        // Only stops the fetch; an error is raised solely by a failed completion.
        m_service->cancel(r.key);
        discardStaging(r.key);
        break;
    default:
        break;
    }
}

bool Downloader::roomFor(Running &running, qint64 more, QString *reason)
{
    if (!m_freeSpace || !running.file)
        return true;
    const qint64 free = m_freeSpace(QFileInfo(running.file->fileName()).absolutePath());
    if (free < 0 || free >= more + DiskMargin)
        return true;
    *reason = diskFullText();
    return false;
}

void Downloader::onData(const QString &key, const QByteArray &chunk)
{
    const auto it = m_running.find(key);
    if (it == m_running.end())
        return; // not a fetch this control is writing: nothing to put it in
    Running &running = it->second;
    QString reason;
    QSaveFile *file = running.file ? running.file.get() : openStaging(key, running, &reason);
    if (file && running.written >= running.nextSpaceCheck) {
        // The whole rest of a file of known length must fit, and the margin stay free.
        const qint64 rest =
            running.total > running.written ? running.total - running.written : SpaceCheckEvery;
        if (!roomFor(running, rest, &reason))
            file = nullptr;
        running.nextSpaceCheck = running.written + SpaceCheckEvery;
    }
    if (file && file->write(chunk) == chunk.size()) {
        running.written += chunk.size();
        if (!running.hash)
            running.hash = std::make_unique<HashWorker>();
        running.hash->add(chunk);
        startWriteback(file, chunk.size());
        return;
    }
    if (file) {
        QString full;
        reason = roomFor(running, chunk.size(), &full)
                     ? tr("无法写入文件: %1").arg(file->errorString())
                     : full;
    }
    // Stop fetching what cannot be stored, and end this fetch as failed right away.
    fail(key, reason);
    record(key, FetchRecord::Failure);
    CheckAllComplete();
}

void Downloader::onCompleted(const FetchRecord &record_)
{
    const FetchRecord r = record_;
    int recorded = r.statusCode;
    if (r.statusCode == FetchRecord::Failure) {
        if (r.resumable && resumeLater(r.key, r.statusText))
            return;
        if (r.restart && restart(r.key, r.statusText))
            return;
        fail(r.key, r.statusText);
    } else if (r.statusCode == FetchRecord::AllData) {
        qCDebug(lcDownload).noquote() << QStringLiteral("Writting to file ") + r.key;
        const auto it = m_running.find(r.key);
        const QByteArray digest = it == m_running.end() ? QByteArray() : it->second.digest;
        QString reason;
        if (it != m_running.end() && !matchesDigest(r.key, it->second)) {
            // Not what the server published: nothing is committed, the file is fetched again.
            if (restart(r.key, verificationFailedText()))
                return;
            recorded = FetchRecord::Failure;
            fail(r.key, verificationFailedText());
        } else if (commit(r.key, &reason)) {
            m_verified.insert(r.key, digest);
            emit DownloadComplete(r.bytesMax, r.key);
        } else {
            // A file that could not be written is a failed download, never a complete one.
            recorded = FetchRecord::Failure;
            fail(r.key, reason);
        }
    }
    record(r.key, recorded);
    CheckAllComplete();
}

bool Downloader::resumeLater(const QString &key, const QString &reason)
{
    const auto it = m_running.find(key);
    if (it == m_running.end() || it->second.written == 0)
        return false; // nothing to resume: a failure like any other
    Running &running = it->second;
    if (running.written > running.furthest) {
        running.furthest = running.written;
        running.triesWithoutProgress = 0;
    }
    if (running.triesWithoutProgress >= m_retryWaits.size())
        return false;
    const std::chrono::milliseconds wait = m_retryWaits.at(running.triesWithoutProgress++);
    if (joinable(running))
        qCInfo(lcDownload).noquote() << "download to" << key << "resumes at byte"
                                     << running.written << "in" << wait.count()
                                     << "ms after:" << reason;
    else
        qCInfo(lcDownload).noquote() << "download to" << key
                                     << "starts again from its first byte (nothing names the "
                                        "file to resume it by) in"
                                     << wait.count() << "ms after:" << reason;
    if (!running.retry) {
        running.retry = std::make_unique<QTimer>();
        running.retry->setSingleShot(true);
        connect(running.retry.get(), &QTimer::timeout, this, [this, key] { resume(key); });
    }
    running.retry->start(wait);
    // The bar keeps showing what is already there while the fetch waits.
    if (running.total > 0)
        emit DownloadProgress(running.written, running.total, key);
    return true;
}

void Downloader::resume(const QString &key)
{
    const auto it = m_running.find(key);
    if (it == m_running.end())
        return;
    Running &running = it->second;
    const ResumeFrom from = joinable(running) ? ResumeFrom{running.written, running.validator,
                                                           running.total, running.digest}
                                              : ResumeFrom{};
    const auto refusal = m_service->start(running.url, key, running.options, from);
    if (!refusal)
        return;
    fail(key, refusal->description);
    record(key, FetchRecord::Failure);
    CheckAllComplete();
}

bool Downloader::restart(const QString &key, const QString &why)
{
    const auto it = m_running.find(key);
    if (it == m_running.end() || it->second.restarted)
        return false;
    Running &running = it->second;
    qCWarning(lcDownload).noquote() << "download to" << key << "fetched again from its first byte:"
                                    << why;
    if (running.file)
        running.file->cancelWriting();
    running.file.reset();
    running.written = 0;
    running.furthest = 0;
    running.triesWithoutProgress = 0;
    running.total = 0;
    running.validator.clear();
    running.digest.clear();
    running.hash.reset();
    running.restarted = true;
    const auto refusal = m_service->start(running.url, key, running.options);
    if (refusal) {
        fail(key, refusal->description);
        record(key, FetchRecord::Failure);
        CheckAllComplete();
    }
    return true;
}

bool Downloader::matchesDigest(const QString &key, const Running &running) const
{
    if (running.digest.isEmpty())
        return true; // nothing published: trusted as it comes
    const QByteArray actual = running.hash ? running.hash->result() : tavrel::Sha256().result();
    if (actual == running.digest)
        return true;
    qCWarning(lcDownload).noquote()
        << "download to" << key << "does not match the digest its server published: sha-256"
        << digestText(actual) << "instead of" << digestText(running.digest);
    return false;
}

void Downloader::fail(const QString &key, const QString &reason)
{
    const auto it = m_running.find(key);
    const QString from = it == m_running.end()
                             ? QString()
                             : QStringLiteral(" from ") + tavrel::http::urlForLog(it->second.url);
    qCWarning(lcDownload).noquote() << "download to" << key + from << "failed:" << reason;
    m_service->cancel(key);
    discardStaging(key);
    emit DownloadError(key, reason);
}

QSaveFile *Downloader::openStaging(const QString &key, Running &running, QString *reason)
{
    auto file = std::make_unique<QSaveFile>(key);
    if (!file->open(QIODevice::WriteOnly)) {
        *reason = tr("无法创建文件: %1").arg(file->errorString());
        return nullptr;
    }
    running.file = std::move(file);
    running.nextSpaceCheck = 0;
    return running.file.get();
}

bool Downloader::commit(const QString &key, QString *reason)
{
    const auto it = m_running.find(key);
    if (it == m_running.end()) {
        // Nothing was staged for this key (it was cancelled or never started here).
        *reason = tr("没有收到可写入的数据");
        return false;
    }
    Running &running = it->second;
    QSaveFile *file = running.file ? running.file.get() : openStaging(key, running, reason);
    if (!file)
        return false;
    if (running.total > 0 && running.written != running.total) {
        *reason =
            tr("文件不完整：收到 %1 字节，应为 %2 字节").arg(running.written).arg(running.total);
        return false;
    }
    if (m_commitCheck) {
        const QString refusal = m_commitCheck(key);
        if (!refusal.isEmpty()) {
            *reason = refusal;
            return false;
        }
    }
    if (!file->commit()) {
        *reason = tr("无法写入文件: %1").arg(file->errorString());
        return false;
    }
    m_running.erase(it);
    return true;
}

void Downloader::discardStaging(const QString &key)
{
    const auto it = m_running.find(key);
    if (it == m_running.end())
        return;
    if (it->second.file)
        it->second.file->cancelWriting(); // the temporary file goes with the object
    m_running.erase(it);
}

void Downloader::record(const QString &key, int statusCode)
{
    const qsizetype i = FileList.indexOf(key);
    if (i >= 0)
        StatusList[i] = static_cast<quint8>(statusCode);
}

void Downloader::CheckAllComplete()
{
    QStringList failed{QString()};
    for (qsizetype i = 0; i < FileList.size(); ++i) {
        if (StatusList.at(i) == FetchRecord::Failure)
            failed.append(FileList.at(i));
        else if (StatusList.at(i) != FetchRecord::AllData)
            return;
    }
    CancelAllDownload();
    emit DownloadAllComplete(failed);
}
