#include "Log.h"

#include <QByteArray>

#include <cstdio>

Q_LOGGING_CATEGORY(lcAnnounce, "catalogd.announce")
Q_LOGGING_CATEGORY(lcAccess, "catalogd.access")
Q_LOGGING_CATEGORY(lcServer, "catalogd")

namespace {

void writeLine(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    const bool announce = qstrcmp(context.category, "catalogd.announce") == 0;
    std::FILE *out = announce ? stdout : stderr;
    const QByteArray line = "catalogd: " + message.toUtf8() + '\n';
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
