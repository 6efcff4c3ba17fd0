#include "download/Downloader.h"

#include "download/DownloadLog.h"
#include "net/HttpPolicy.h"

#include <QSaveFile>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

Downloader::Downloader(std::unique_ptr<FetchService> service, ErrorBox errorBox, QObject *parent)
    : QObject(parent), m_service(std::move(service)), m_errorBox(std::move(errorBox))
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
    m_staging.clear();
}

bool Downloader::BeginDownload(const QString &URL, const QString &SaveFile,
                               std::optional<int> AsyncReadOptions)
{
    if (const auto refusal = m_service->start(URL, SaveFile, AsyncReadOptions)) {
        if (m_errorBox)
            m_errorBox(errorText(refusal->number, Operation::BeginDownload, refusal->description));
        return false;
    }
    // The service accepted a new fetch under this key: whatever an earlier one staged is stale.
    discardStaging(SaveFile);
    m_staging.emplace(SaveFile, nullptr);
    FileList.append(SaveFile);
    StatusList.append(255);
    return true;
}

bool Downloader::CancelAllDownload()
{
    const QStringList listed = FileList;
    for (const QString &key : listed) {
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
    const QString where = operation == Operation::BeginDownload
                              ? QStringLiteral(":错误在调用 BeginDownload().")
                              : QStringLiteral(":错误在调用\u3000SizeIt().");
    return QString::number(number) + where + QStringLiteral("\r\n\r\n") +
           QStringLiteral("错误描述: ") + description;
}

void Downloader::onProgress(const FetchRecord &record)
{
    const FetchRecord r = record;
    if (r.bytesMax != 0)
        emit DownloadProgress(r.bytesRead, r.bytesMax, r.key);

    switch (r.statusCode) {
    case FetchRecord::Sending:
        qCDebug(lcDownload).noquote() << "Attempting to connect" << tavrel::http::urlForLog(r.target);
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
        // Only stops the fetch; an error is raised solely by a failed completion.
        m_service->cancel(r.key);
        discardStaging(r.key);
        break;
    default:
        break;
    }
}

namespace {

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

void Downloader::onData(const QString &key, const QByteArray &chunk)
{
    const auto it = m_staging.find(key);
    if (it == m_staging.end())
        return; // not a fetch this control is writing: nothing to put it in
    QString reason;
    QSaveFile *file = it->second ? it->second.get() : openStaging(key, &reason);
    if (file && file->write(chunk) == chunk.size()) {
        startWriteback(file, chunk.size());
        return;
    }
    if (file)
        reason = tr("无法写入文件: %1").arg(file->errorString());
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
        fail(r.key, r.statusText);
    } else if (r.statusCode == FetchRecord::AllData) {
        qCDebug(lcDownload).noquote() << QStringLiteral("Writting to file ") + r.key;
        QString reason;
        if (commit(r.key, &reason)) {
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

void Downloader::fail(const QString &key, const QString &reason)
{
    m_service->cancel(key);
    discardStaging(key);
    emit DownloadError(key, reason);
}

QSaveFile *Downloader::openStaging(const QString &key, QString *reason)
{
    auto file = std::make_unique<QSaveFile>(key);
    if (!file->open(QIODevice::WriteOnly)) {
        *reason = tr("无法创建文件: %1").arg(file->errorString());
        return nullptr;
    }
    QSaveFile *opened = file.get();
    m_staging[key] = std::move(file);
    return opened;
}

bool Downloader::commit(const QString &key, QString *reason)
{
    const auto it = m_staging.find(key);
    if (it == m_staging.end()) {
        // Nothing was staged for this key (it was cancelled or never started here).
        *reason = tr("没有收到可写入的数据");
        return false;
    }
    QSaveFile *file = it->second ? it->second.get() : openStaging(key, reason);
    if (!file)
        return false;
    if (!file->commit()) {
        *reason = tr("无法写入文件: %1").arg(file->errorString());
        return false;
    }
    m_staging.erase(key);
    return true;
}

void Downloader::discardStaging(const QString &key)
{
    const auto it = m_staging.find(key);
    if (it == m_staging.end())
        return;
    if (it->second)
        it->second->cancelWriting(); // the temporary file goes with the object
    m_staging.erase(it);
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
