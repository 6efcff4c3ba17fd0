#include "core/AdminOperation.h"

#include "core/Encoding.h"
#include "core/Endpoints.h"

#include <cmath>

namespace tavrel {

namespace {

std::optional<double> readNumber(QStringView reply)
{
    bool ok = false;
    const double value = reply.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace

QString adminQuery(AdminOperation operation, const QString &password)
{
    return endpoint::Administration + QStringLiteral("?cz=%1&pass=").arg(int(operation)) +
           encodeQueryValue(password);
}

QString queryParameter(QStringView name, const QString &value)
{
    return QLatin1Char('&') + name.toString() + QLatin1Char('=') + encodeQueryValue(value);
}

std::optional<AdminOperation> adminOperationFromCode(QStringView cz)
{
    if (cz.size() != 1 || cz.front() < u'0' || cz.front() > u'7')
        return std::nullopt;
    return AdminOperation(cz.front().unicode() - u'0');
}

QByteArray adminReplyText(AdminReply reply)
{
    return QByteArray::number(int(reply));
}

AdminVerdict judgeAdminReply(AdminOperation operation, QStringView reply)
{
    const std::optional<double> number = readNumber(reply);
    switch (operation) {
    case AdminOperation::Approve:
    case AdminOperation::Delete:
        // The server may answer with a page or nothing at all after acting.
        return number && *number != 0 ? AdminVerdict::Rejected : AdminVerdict::Accepted;
    case AdminOperation::ReadSecurityCode:
        if (!number)
            return AdminVerdict::Unreadable;
        return *number == 1 ? AdminVerdict::Rejected : AdminVerdict::Accepted;
    default:
        if (!number)
            return AdminVerdict::Unreadable;
        return *number == 0 ? AdminVerdict::Accepted : AdminVerdict::Rejected;
    }
}

} // namespace tavrel
