#include "download/NetworkErrorText.h"

QString networkErrorText(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("服务器拒绝了连接");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("服务器在传输完成之前关闭了连接");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("找不到服务器");
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("连接超时");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("安全连接失败");
    case QNetworkReply::TooManyRedirectsError:
        return QStringLiteral("跳转次数过多");
    case QNetworkReply::InsecureRedirectError:
        return QStringLiteral("跳转到了不安全的地址");
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return QStringLiteral("网络不可用");
    case QNetworkReply::ProtocolUnknownError:
        return QStringLiteral("不支持的协议");
    case QNetworkReply::ProtocolFailure:
        return QStringLiteral("服务器的回复格式有误");
    default:
        if (error >= QNetworkReply::ProxyConnectionRefusedError
            && error <= QNetworkReply::UnknownProxyError)
            return QStringLiteral("代理服务器出错");
        return QStringLiteral("网络错误 (%1)").arg(int(error));
    }
}
