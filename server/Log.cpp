#include "Log.h"

#include <QByteArray>
#include <QDateTime>

#include <cstdio>

Q_LOGGING_CATEGORY(lcAnnounce, "catalogd.announce")
Q_LOGGING_CATEGORY(lcAccess, "catalogd.access")
Q_LOGGING_CATEGORY(lcServer, "catalogd")

namespace {

void writeLine(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    // Announcements stay exactly as scripts expect them; log lines carry the time in UTC.
    const bool announce = qstrcmp(context.category, "catalogd.announce") == 0;
    std::FILE *out = announce ? stdout : stderr;
    QByteArray line = "catalogd: " + message.toUtf8() + '\n';
    if (!announce)
        line.prepend(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1() + ' ');
    std::fwrite(line.constData(), 1, size_t(line.size()), out);
    std::fflush(out);
}

} // namespace

namespace Log {

void install()
{
    qInstallMessageHandler(writeLine);
}

} // namespace Log
