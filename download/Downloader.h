#pragma once

// The download queue control: a control without a face that fetches URLs into files, keeps
// the list of fetches it started and reports through four events.
//
// Bodies are never held whole in memory: each piece the fetch service hands over is written
// at once into a staging file beside the target (QSaveFile), and the staging file takes the
// target's place in one step only when the fetch has ended with all its data. A fetch that
// fails, is cancelled or cannot be written discards its staging file, so the target path never
// holds a partial file and a file already there stays as it was.

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

    void BeginDownload(const QString &URL, const QString &SaveFile,
                       std::optional<int> AsyncReadOptions = std::nullopt);
    bool CancelAllDownload();

    // Keeps the control at its design size of 32 by 32 pixels.
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
