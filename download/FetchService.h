#pragma once

// The fetch service: what the download control leans on to move bytes over the network.
//
// A fetch is known by a key (the control uses the target path). The service reports, always on
// the thread that owns it and never from inside start() or cancel():
//   - progress(record) any number of times, with the status codes below;
//   - dataArrived(key, chunk) for every piece of the body as it comes in, in order, so the
//     control can write it to disk at once and never holds a whole body in memory;
//   - completed(record) once for every fetch that runs to its end, with status AllData when
//     the whole body has been handed over by dataArrived, or Failure otherwise.
// A cancelled fetch reports nothing more. Byte counts are 64-bit and count from the file's
// first byte, also for a fetch that resumes; bytesMax stays 0 while the length is unknown.
//
// A fetch may resume a file whose first bytes are already there (ResumeFrom): the service asks
// for the rest. Its FirstData report says where the body it now hands over starts in the file:
// at the offset asked for, or at 0 when the server sends the whole file again. An answer that is
// neither the rest of the file named by ResumeFrom nor the whole file ends the fetch as a
// failure marked `restart`, and nothing of its body is handed over.

#include <QObject>
#include <QString>

#include <optional>

struct FetchRecord
{
    // Status codes of a fetch (the numbering the control's callers know).
    enum Status : int {
        Failure = 0,
        Connecting = 2,
        Redirecting = 3,
        FirstData = 4,
        Downloading = 5,
        AllData = 6,
        Sending = 11,
    };

    QString key;
    QString target; // the URL being fetched
    qint64 bytesRead = 0;
    qint64 bytesMax = 0; // 0 while the server has announced no length
    int statusCode = Failure;
    QString statusText; // for a failure: a short reason a person can read
    // For a Failure: the connection dropped, was reset or stalled, and the bytes handed over so
    // far are good, so the fetch may be resumed. False for an answer such as 404.
    bool resumable = false;
    // For a Failure: the answer was not the rest of the file asked for (another file, another
    // length, an open end); what was kept cannot be joined to it, the file may be fetched again
    // from its first byte.
    bool restart = false;
    qint64 startsAt = 0;  // for FirstData: the byte of the file the body now handed over starts at
    QByteArray validator; // for FirstData: the answer's strong ETag, else its Last-Modified
    QByteArray digest;    // for FirstData: the SHA-256 the answer publishes (Repr-Digest), or empty
};

// Where a fetch resumes: the file's bytes before `offset` are already there, as the first answer
// described the file. With a validator the server is asked for the rest only if the file is
// still the one it names (If-Range), and sends the whole file otherwise. A range answer is the
// rest of that file only when it starts at offset, names the same total length and carries the
// same validator; a digest it names must be the same too.
struct ResumeFrom
{
    qint64 offset = 0;
    QByteArray validator;
    qint64 total = 0;  // the file's length as the first answer named it, 0 when it named none
    QByteArray digest; // the SHA-256 the first answer published, if any
};

// Why the service refused to start a fetch.
struct FetchError
{
    int number = 0;
    QString description;
};

class FetchService : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~FetchService() override = default;

    // Begins fetching url under key and returns at once; a refusal comes back as the error,
    // and then nothing is ever reported for that call. options is a bit set the service
    // alone interprets.
    virtual std::optional<FetchError> start(const QString &url, const QString &key,
                                            std::optional<int> options,
                                            const ResumeFrom &from = {}) = 0;
    // Stops the fetch known under key, if any. Nothing is reported for it afterwards.
    virtual void cancel(const QString &key) = 0;

signals:
    void progress(const FetchRecord &record);
    void dataArrived(const QString &key, const QByteArray &chunk);
    void completed(const FetchRecord &record);
};

Q_DECLARE_METATYPE(FetchRecord)
