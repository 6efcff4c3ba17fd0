#include "core/NetworkFailure.h"

#include <QCoreApplication>

namespace tavrel {

QString failureText(NetworkFailure failure, int code)
{
    switch (failure) {
    case NetworkFailure::InvalidAddress:
        return QCoreApplication::translate("NetworkFailure", "无效的地址");
    case NetworkFailure::UnsupportedProtocol:
        return QCoreApplication::translate("NetworkFailure", "不支持的协议");
    case NetworkFailure::Refused:
        return QCoreApplication::translate("NetworkFailure", "服务器拒绝了连接");
    case NetworkFailure::ClosedEarly:
        return QCoreApplication::translate("NetworkFailure", "服务器在传输完成之前关闭了连接");
    case NetworkFailure::HostNotFound:
        return QCoreApplication::translate("NetworkFailure", "找不到服务器");
    case NetworkFailure::TimedOut:
        return QCoreApplication::translate("NetworkFailure", "连接超时");
    case NetworkFailure::SecureConnection:
        return QCoreApplication::translate("NetworkFailure", "安全连接失败");
    case NetworkFailure::TooManyRedirects:
        return QCoreApplication::translate("NetworkFailure", "跳转次数过多");
    case NetworkFailure::InsecureRedirect:
        return QCoreApplication::translate("NetworkFailure", "跳转到了不安全的地址");
    case NetworkFailure::RedirectUnsupported:
        return QCoreApplication::translate("NetworkFailure", "跳转到了不支持的协议");
    case NetworkFailure::NetworkDown:
        return QCoreApplication::translate("NetworkFailure", "网络不可用");
    case NetworkFailure::MalformedReply:
        return QCoreApplication::translate("NetworkFailure", "服务器的回复格式有误");
    case NetworkFailure::Proxy:
        return QCoreApplication::translate("NetworkFailure", "代理服务器出错");
    case NetworkFailure::ReplyTooLarge:
        return QCoreApplication::translate("NetworkFailure", "服务器的回复太大（超过 %1 MiB）")
            .arg(code);
    case NetworkFailure::TooSlow:
        return QCoreApplication::translate("NetworkFailure", "传输太慢，已中断");
    case NetworkFailure::RangeMismatch:
        return QCoreApplication::translate("NetworkFailure", "服务器续传的数据与请求的位置不符");
    case NetworkFailure::Other:
        break;
    }
    return QCoreApplication::translate("NetworkFailure", "网络错误 (%1)").arg(code);
}

QString secureConnectionText(const QString &reason)
{
    return QCoreApplication::translate("NetworkFailure", "安全连接失败：%1").arg(reason.left(200));
}

QString idleTimeoutText(qint64 idleMs)
{
    return QCoreApplication::translate("NetworkFailure", "连接超时：%1 毫秒内没有收到数据")
        .arg(idleMs);
}

QString deadlineText(qint64 seconds)
{
    return QCoreApplication::translate("NetworkFailure", "服务器在 %1 秒内没有完成回复")
        .arg(seconds);
}

QString httpStatusText(int status, const QString &reasonPhrase)
{
    return QCoreApplication::translate("NetworkFailure", "服务器返回 %1 %2")
        .arg(status)
        .arg(reasonPhrase.left(80))
        .trimmed();
}

QString unreachableText(const QString &reason)
{
    if (reason.isEmpty())
        return QCoreApplication::translate("NetworkFailure", "无法连接到服务器，请稍后再试。");
    return QCoreApplication::translate("NetworkFailure", "无法连接到服务器，请稍后再试。\n(%1)")
        .arg(reason);
}

} // namespace tavrel
