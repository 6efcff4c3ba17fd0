#include "AccessLog.h"

#include "Log.h"

#include <QFile>
#include <QLocale>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Whatever a client sent, a field stays one printable line: quotes, backslashes and bytes
// outside printable ASCII are escaped as \xHH, as nginx does.
QByteArray escaped(const QByteArray &raw, qsizetype limit = 1000)
{
    QByteArray out;
    out.reserve(qMin(raw.size(), limit) + 8);
    for (const char c : raw.left(limit)) {
        const uchar u = uchar(c);
        if (u < 0x20 || u >= 0x7f || c == '"' || c == '\\')
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0');
        else
            out += c;
    }
    if (raw.size() > limit)
        out += "...";
    return out;
}

QByteArray orDash(const QByteArray &value)
{
    return value.isEmpty() ? QByteArrayLiteral("-") : escaped(value);
}

// A referer may be a page of the administration script: its query stays out.
QByteArray refererShown(const QByteArray &referer)
{
    const qsizetype question = referer.indexOf('?');
    return question < 0 ? referer : referer.left(question) + "?...";
}

QByteArray jsonString(const QByteArray &raw)
{
    QByteArray out = "\"";
    for (const char c : raw.left(1000)) {
        const uchar u = uchar(c);
        if (c == '"' || c == '\\')
            out += '\\' + QByteArray(1, c);
        else if (u < 0x20 || u >= 0x7f) // not always UTF-8: shown as its bytes
            out += "\\u00" + QByteArray::number(u, 16).rightJustified(2, '0');
        else
            out += c;
    }
    return out + '"';
}

QByteArray clientText(const QHostAddress &client)
{
    bool isV4 = false;
    const quint32 v4 = client.toIPv4Address(&isV4);
    return (isV4 ? QHostAddress(v4) : client).toString().toLatin1();
}

} // namespace

AccessLog &AccessLog::instance()
{
    static AccessLog log;
    return log;
}

bool AccessLog::open(const QString &path, bool json, QString *error)
{
    QMutexLocker lock(&m_mutex);
    m_json = json;
    m_path = path;
    if (path.isEmpty())
        return true;
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        *error = QStringLiteral("cannot open the access log %1: %2")
                     .arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    m_fd = fd;
    return true;
}

void AccessLog::reopen()
{
    QMutexLocker lock(&m_mutex);
    if (m_path.isEmpty())
        return;
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        // Keep writing to the old file rather than losing lines.
        qCWarning(lcServer, "cannot reopen the access log %s: %s", qPrintable(m_path),
                  strerror(errno));
        return;
    }
    ::close(m_fd);
    m_fd = fd;
}

void AccessLog::write(const Entry &entry)
{
    if (!lcAccess().isInfoEnabled())
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QByteArray line = m_json ? jsonLine(entry, now) : combinedLine(entry, now);
    QMutexLocker lock(&m_mutex);
    // One write per line: lines of several threads never interleave.
    [[maybe_unused]] const ssize_t n = ::write(m_fd, line.constData(), size_t(line.size()));
}

QByteArray AccessLog::combinedLine(const Entry &entry, const QDateTime &utc)
{
    QByteArray request = "-";
    if (!entry.method.isEmpty())
        request =
            escaped(entry.method) + ' ' + escaped(entry.target) + ' ' + escaped(entry.version);
    return clientText(entry.client) + " - - [" +
           QLocale::c().toString(utc, QStringLiteral("dd/MMM/yyyy:HH:mm:ss")).toLatin1() +
           " +0000] \"" + request + "\" " + QByteArray::number(entry.status) + ' ' +
           QByteArray::number(entry.bytes) + " \"" + orDash(refererShown(entry.referer)) + "\" \"" +
           orDash(entry.userAgent) + "\"\n";
}

QByteArray AccessLog::jsonLine(const Entry &entry, const QDateTime &utc)
{
    QByteArray out = "{\"time\":\"" + utc.toString(Qt::ISODateWithMs).toLatin1() +
                     "\",\"client\":\"" + clientText(entry.client) + "\"";
    if (!entry.method.isEmpty()) {
        out += ",\"method\":" + jsonString(entry.method) +
               ",\"target\":" + jsonString(entry.target) +
               ",\"protocol\":" + jsonString(entry.version);
    }
    out += ",\"status\":" + QByteArray::number(entry.status) +
           ",\"bytes\":" + QByteArray::number(entry.bytes);
    if (!entry.referer.isEmpty())
        out += ",\"referer\":" + jsonString(refererShown(entry.referer));
    if (!entry.userAgent.isEmpty())
        out += ",\"user_agent\":" + jsonString(entry.userAgent);
    if (!entry.reason.isEmpty())
        out += ",\"reason\":" + jsonString(entry.reason);
    out += ",\"duration_ms\":" + QByteArray::number(double(entry.micros) / 1000.0, 'f', 3);
    return out + "}\n";
}
