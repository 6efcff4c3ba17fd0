#pragma once

#include <QByteArray>
#include <QFile>

// A field of /proc/<pid>/status in bytes ("VmRSS" now, "VmHWM" at the peak), of this process
// unless a pid is given; -1 when unknown (the process gone, or no /proc).
inline qint64 processStatusBytes(const char *field, qint64 pid = 0)
{
    QFile status(pid > 0 ? QStringLiteral("/proc/%1/status").arg(pid)
                         : QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}
