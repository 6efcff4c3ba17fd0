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
//    in place at SaveFile, exactly as long as the server said; a file that could not be written
//    is a DownloadError.
//  - A connection that drops, resets or stalls once part of the file is there does not end the
//    fetch: it resumes from the first byte not yet written (a range request that names the
//    file's validator), after the waits of setRetryWaits (1, 2, 4, 8 and 16 s). A try that
//    brings bytes starts the count again; DownloadError comes when the waits are used up
//    without progress, with the last reason. An answer such as 404 is never retried. While a
//    fetch waits to resume, DownloadProgress shows the bytes already there. A file whose first
//    answer named no validator is resumed only when the server published a digest to check the
//    joined file by; otherwise the next try starts from the first byte.
//  - What is kept is joined only to the rest of the same file (see FetchService). An answer
//    that is something else, and a file that does not match the SHA-256 its server published
//    (Repr-Digest), commit nothing: the file is fetched again from its first byte, once per
//    download. A second such answer or mismatch is a DownloadError; for a mismatch its reason
//    is verificationFailedText(). A server that publishes no digest is trusted as before.
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
// folders. A disk whose free space falls under a margin ends the fetch with a reason that says
// so, before the disk is full.
//
// Events are raised on the thread that owns the control, never from inside BeginDownload or
// CancelAllDownload.

#include "download/FetchService.h"
#include "download/HashWorker.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QSaveFile;
class QTimer;

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
    // The reason of a DownloadError for a file that twice did not match its published digest.
    static QString verificationFailedText();

    // The SHA-256 (32 bytes) of the file last completed at SaveFile, checked against the digest
    // its server published; empty when the server published none. Set before DownloadComplete
    // and kept until the next BeginDownload for that path.
    QByteArray verifiedDigest(const QString &SaveFile) const { return m_verified.value(SaveFile); }

    // Read-only views of the bookkeeping, in start order.
    QStringList fileList() const { return FileList; }
    QList<quint8> statusList() const { return StatusList; }

    // The waits before each try to resume; their number is the number of tries without
    // progress. Tests and benchmarks set them to 0.
    void setRetryWaits(const QList<std::chrono::milliseconds> &waits);
    // Free bytes on the disk that holds a folder, -1 when unknown. The default asks the system.
    using FreeSpace = std::function<qint64(const QString &folder)>;
    void setFreeSpace(FreeSpace freeSpace);
    // What must stay free on the disk while a file is written.
    static constexpr qint64 DiskMargin = 32 * 1024 * 1024;
    // Asked right before a whole file takes its place; a reason refuses it.
    using CommitCheck = std::function<QString(const QString &saveFile)>;
    void setCommitCheck(CommitCheck check) { m_commitCheck = std::move(check); }

signals:
    void DownloadProgress(qint64 CurBytes, qint64 MaxBytes, const QString &SaveFile);
    // Reason: a short text a person can read, for the window's box.
    void DownloadError(const QString &SaveFile, const QString &Reason);
    void DownloadComplete(qint64 MaxBytes, const QString &SaveFile);
    // Entry 0 is always ""; the paths that failed follow in start order.
    void DownloadAllComplete(const QStringList &FileNotDownload);

private:
    // What the control keeps of a fetch it writes.
    struct Running
    {
        QString url;
        std::optional<int> options;
        std::unique_ptr<QSaveFile> file; // the staging file, from the first piece of data on
        qint64 written = 0;
        // The file as its first answer described it; what is kept is joined only to the rest of
        // that file.
        qint64 total = 0; // the file's length, 0 while unknown
        QByteArray validator;
        QByteArray digest; // the SHA-256 the server published, empty if none
        // Of the bytes written, kept across resumes; made with the first piece.
        std::unique_ptr<HashWorker> hash;
        bool restarted = false; // the one fetch from the first byte again is used up
        qint64 furthest = 0; // the most ever written: a try that gets past it made progress
        int triesWithoutProgress = 0;
        qint64 nextSpaceCheck = 0;
        std::unique_ptr<QTimer> retry;
    };

    void onProgress(const FetchRecord &record);
    void onData(const QString &key, const QByteArray &chunk);
    void onCompleted(const FetchRecord &record);
    // Whether what is kept can be joined to the rest: something names the file (a validator for
    // If-Range) or checks the joined whole (a published digest).
    static bool joinable(const Running &running)
    {
        return !running.validator.isEmpty() || !running.digest.isEmpty();
    }
    // A resumable failure: true when another try has been set up.
    bool resumeLater(const QString &key, const QString &reason);
    void resume(const QString &key);
    // Drops what is kept and fetches the file again from its first byte, once per download:
    // false when that was used up (or the start refused), and the fetch has failed.
    bool restart(const QString &key, const QString &why);
    // Whether the whole file matches the digest its server published; logs a mismatch.
    bool matchesDigest(const QString &key, const Running &running) const;
    // Whether the disk keeps its margin with `more` bytes still to come; the reason if not.
    bool roomFor(Running &running, qint64 more, QString *reason);

    // Ends a fetch as failed: stops it, drops its staging file and raises DownloadError.
    void fail(const QString &key, const QString &reason);
    // Puts the staging file in place; false with the reason when that was not possible.
    bool commit(const QString &key, QString *reason);
    void discardStaging(const QString &key);
    QSaveFile *openStaging(const QString &key, Running &running, QString *reason);
    void record(const QString &key, int statusCode);
    void CheckAllComplete();

    std::unique_ptr<FetchService> m_service;
    ErrorBox m_errorBox;
    QSize m_size;
    QList<std::chrono::milliseconds> m_retryWaits;
    FreeSpace m_freeSpace;
    CommitCheck m_commitCheck;

    QStringList FileList;
    QList<quint8> StatusList;
    // Every fetch this control writes, by key, from its start until it has ended.
    std::map<QString, Running> m_running;
    QHash<QString, QByteArray> m_verified;
};
