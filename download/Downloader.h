#pragma once

// The download queue control: a control without a window of its own that fetches URLs into
// files, keeps the list of fetches it started and reports through four events.
//
// The contract, for every caller:
//
//  - BeginDownload(URL, SaveFile) starts a fetch at once and lists it under the key SaveFile.
//    It returns false when the fetch service refuses the start: the "错误" box has then been
//    shown, nothing is listed and no event ever follows for that call. Several fetches may run
//    side by side; the list records what was started, it is no waiting line.
//  - DownloadProgress(CurBytes, MaxBytes, SaveFile) comes any number of times while a fetch
//    runs, only while the server has announced a length (MaxBytes > 0), and may repeat the
//    final count.
//  - Each listed fetch ends once, with DownloadError(SaveFile, Reason) or with
//    DownloadComplete(MaxBytes, SaveFile). DownloadComplete comes only when the whole file is
//    in place at SaveFile; a file that could not be written is a DownloadError.
//  - DownloadAllComplete(FileNotDownload) comes right after the end of a fetch once every
//    listed fetch has ended in error or completion; the list is already empty then, so its
//    handler may start a new batch. Entry 0 is always "", the failed keys follow in start
//    order. A fetch that ends with another status (see FetchRecord), or that the service
//    reports as failed in a progress notification (it is stopped, no event), stays open and
//    holds DownloadAllComplete back until CancelAllDownload.
//  - CancelAllDownload() stops every listed fetch, forgets them and raises nothing; it always
//    returns true. Destroying the control does the same.
//
// Files: bodies are never held whole in memory. Each piece the fetch service hands over is
// written at once into a staging file beside the target (QSaveFile), and the staging file takes
// the target's place in one step only when the fetch has ended with all its data. A fetch that
// fails, is cancelled or cannot be written discards its staging file, so the target path never
// holds a partial file and a file already there stays as it was. The control never makes
// folders.
//
// Events are raised on the thread that owns the control, never from inside BeginDownload or
// CancelAllDownload.

#include "download/FetchService.h"

#include <QList>
#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <optional>

class QSaveFile;

class Downloader : public QObject
{
    Q_OBJECT

public:
    // Shows text in a modal box titled "错误" with an error icon and an OK button.
    using ErrorBox = std::function<void(const QString &text)>;

    enum class Operation { BeginDownload, SizeIt };

    Downloader(std::unique_ptr<FetchService> service, ErrorBox errorBox, QObject *parent = nullptr);
    ~Downloader() override; // cancels what it still lists, raises nothing

    // AsyncReadOptions goes to the fetch service unchanged; absent when the caller omits it.
    bool BeginDownload(const QString &URL, const QString &SaveFile,
                       std::optional<int> AsyncReadOptions = std::nullopt);
    bool CancelAllDownload();

    // Public interface: keeps the control at its design size of 32 by 32 pixels, called at
    // creation; a caller may rely on size() being 32 by 32 afterwards.
    void SizeIt();
    QSize size() const { return m_size; }

    // The text of the "错误" box for a failure inside one of the control's operations.
    static QString errorText(int number, Operation operation, const QString &description);

    // Read-only views of the bookkeeping, in start order.
    QStringList fileList() const { return FileList; }
    QList<quint8> statusList() const { return StatusList; }

signals:
    void DownloadProgress(qint64 CurBytes, qint64 MaxBytes, const QString &SaveFile);
    // Reason: a short text a person can read, for the window's box.
    void DownloadError(const QString &SaveFile, const QString &Reason);
    void DownloadComplete(qint64 MaxBytes, const QString &SaveFile);
    // Entry 0 is always ""; the paths that failed follow in start order.
    void DownloadAllComplete(const QStringList &FileNotDownload);

private:
    void onProgress(const FetchRecord &record);
    void onData(const QString &key, const QByteArray &chunk);
    void onCompleted(const FetchRecord &record);

    // Ends a fetch as failed: stops it, drops its staging file and raises DownloadError.
    void fail(const QString &key, const QString &reason);
    // Puts the staging file in place; false with the reason when that was not possible.
    bool commit(const QString &key, QString *reason);
    void discardStaging(const QString &key);
    QSaveFile *openStaging(const QString &key, QString *reason);
    void record(const QString &key, int statusCode);
    void CheckAllComplete();

    std::unique_ptr<FetchService> m_service;
    ErrorBox m_errorBox;
    QSize m_size;

    QStringList FileList;
    QList<quint8> StatusList;
    // One staging file per key of a running fetch; empty until the first piece of data.
    std::map<QString, std::unique_ptr<QSaveFile>> m_staging;
};
