#pragma once

#include "download/FetchService.h"

#include <QStringList>

#include <memory>
#include <optional>

// A fetch service the test drives by hand. What the control asks of it goes into a log that
// outlives the service, so a test can still read it after the control (its owner) is gone.
class FakeFetchService : public FetchService
{
    Q_OBJECT

public:
    struct Log
    {
        QStringList starts;  // "url|key|options" ("-" for absent options)
        QStringList cancels; // keys
        std::optional<FetchError> refuseNext;
    };

    explicit FakeFetchService(std::shared_ptr<Log> log) : m_log(std::move(log)) {}

    std::optional<FetchError> start(const QString &url, const QString &key,
                                    std::optional<int> options, const ResumeFrom &from) override
    {
        if (m_log->refuseNext) {
            const FetchError error = *m_log->refuseNext;
            m_log->refuseNext.reset();
            return error;
        }
        m_log->starts.append(url + u'|' + key + u'|' +
                             (options ? QString::number(*options) : QStringLiteral("-")) +
                             (from.offset > 0 ? QStringLiteral("|from %1 %2")
                                                    .arg(from.offset)
                                                    .arg(QString::fromLatin1(from.validator))
                                              : QString()));
        return std::nullopt;
    }

    void cancel(const QString &key) override { m_log->cancels.append(key); }

    void sendProgress(const QString &key, qint64 read, qint64 max, int status,
                      const QString &target = {}, const QString &text = {})
    {
        emit progress(record(key, target, read, max, status, text));
    }
    void sendData(const QString &key, const QByteArray &bytes) { emit dataArrived(key, bytes); }
    void sendCompletion(const QString &key, int status, qint64 max, const QString &text = {})
    {
        emit completed(record(key, QString(), max, max, status, text));
    }

    // The first data of an answer that describes the file: its length, validator and digest.
    void sendFirstData(const QString &key, qint64 max, const QByteArray &validator,
                       const QByteArray &digest, qint64 startsAt = 0)
    {
        FetchRecord r = record(key, QString(), startsAt, max, FetchRecord::FirstData, QString());
        r.startsAt = startsAt;
        r.validator = validator;
        r.digest = digest;
        emit progress(r);
    }

    static FetchRecord record(const QString &key, const QString &target, qint64 read, qint64 max,
                              int status, const QString &text)
    {
        FetchRecord r;
        r.key = key;
        r.target = target;
        r.bytesRead = read;
        r.bytesMax = max;
        r.statusCode = status;
        r.statusText = text;
        return r;
    }

private:
    std::shared_ptr<Log> m_log;
};
