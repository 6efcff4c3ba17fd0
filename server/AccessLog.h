#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QMutex>
#include <QString>

// One line per answered request, in the combined log format that log tools read
// (or as JSON lines), to standard error for the journal or to a file that logrotate moves
// away and SIGHUP reopens. Switched off with QT_LOGGING_RULES="catalogd.access=false".
class AccessLog
{
public:
    struct Entry
    {
        QHostAddress client;
        QByteArray method;  // empty when the request could not be read
        QByteArray target;  // as the log may show it (the administration query redacted)
        QByteArray version; // HTTP/1.1
        int status = 0;
        qint64 bytes = 0; // of the body
        QByteArray referer;
        QByteArray userAgent;
        qint64 micros = 0; // from the whole head to the answer's head
        QByteArray reason; // why a request was refused before it was read
    };

    static AccessLog &instance();

    // An empty path: standard error. Returns false with *error when the file cannot be opened.
    bool open(const QString &path, bool json, QString *error);
    // After logrotate moved the file away: a new one under the same name.
    void reopen();
    void write(const Entry &entry);

    static QByteArray combinedLine(const Entry &entry, const QDateTime &utc);
    static QByteArray jsonLine(const Entry &entry, const QDateTime &utc);

private:
    QMutex m_mutex;
    QString m_path;
    int m_fd = 2;
    bool m_json = false;
};
