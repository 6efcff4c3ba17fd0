#pragma once

#include <QByteArray>
#include <QFile>

// A field of /proc/self/status in bytes ("VmRSS" now, "VmHWM" at the peak); -1 when unknown.
inline qint64 processStatusBytes(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}
