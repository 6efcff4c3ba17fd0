#include "HttpTransfer.h"

#include "download/NetworkErrorText.h"

#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QVariant>

#include <algorithm>
#include <climits>

Q_LOGGING_CATEGORY(lcHttpTransfer, "tavrel.http", QtWarningMsg)

namespace {

bool isWebScheme(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// Errors QNetworkReply raises for a complete reply whose status is 4xx or 5xx. The body of such
// a reply is still the server's answer.
bool isStatusError(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ContentAccessDenied:
    case QNetworkReply::ContentOperationNotPermittedError:
    case QNetworkReply::ContentNotFoundError:
    case QNetworkReply::AuthenticationRequiredError:
    case QNetworkReply::ContentReSendError:
    case QNetworkReply::ContentConflictError:
    case QNetworkReply::ContentGoneError:
    case QNetworkReply::UnknownContentError:
    case QNetworkReply::ProtocolInvalidOperationError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::InternalServerError:
    case QNetworkReply::OperationNotImplementedError:
    case QNetworkReply::ServiceUnavailableError:
    case QNetworkReply::UnknownServerError:
        return true;
    default:
        return false;
    }
}


bool isRedirectStatus(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

struct DeleteLater
{
    void operator()(QObject *o) const { o->deleteLater(); }
};

} // namespace

HttpTransfer::HttpTransfer(QNetworkAccessManager *nam)
    : m_ownNam(nam ? nullptr : new QNetworkAccessManager), m_nam(nam ? nam : m_ownNam.get())
{}

HttpTransfer::~HttpTransfer() = default;

void HttpTransfer::setIdleTimeout(std::chrono::milliseconds timeout)
{
    m_idleTimeout = std::max(timeout, std::chrono::milliseconds(1));
}

FetchResult HttpTransfer::fetch(const QString &url)
{
    QUrl target(url.trimmed());
    if (!target.isValid() || target.isRelative() || target.host().isEmpty()) {
        qCDebug(lcHttpTransfer) << "GET refused: not a valid address";
        return FetchResult::failure(QStringLiteral("无效的地址"));
    }
    if (!isWebScheme(target)) {
        qCDebug(lcHttpTransfer) << "GET refused: not http or https";
        return FetchResult::failure(QStringLiteral("不支持的协议"));
    }

    // Redirects are followed here, one plain GET per hop: Qt 6.4's own redirect handling
    // sends a hop's request several times over when the server closes its connections.
    for (int hop = 0;; ++hop) {
        Hop result = get(target);
        if (!result.redirected)
            return std::move(result.outcome);
        if (hop == kMaxRedirects) {
            qCDebug(lcHttpTransfer) << "GET failed: more than" << kMaxRedirects << "redirects";
            return FetchResult::failure(QStringLiteral("跳转次数过多"));
        }
        if (!result.redirect.isValid() || !isWebScheme(result.redirect) ||
            result.redirect.host().isEmpty()) {
            qCDebug(lcHttpTransfer) << "GET failed: redirect away from http and https";
            return FetchResult::failure(QStringLiteral("跳转到了不支持的协议"));
        }
        target = result.redirect;
    }
}

HttpTransfer::Hop HttpTransfer::finished(FetchResult outcome)
{
    return {std::move(outcome), false, QUrl()};
}

HttpTransfer::Hop HttpTransfer::get(const QUrl &target)
{
    QNetworkRequest request(target);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // The transfer timeout restarts with every byte that arrives, so it is an idle timer.
    request.setTransferTimeout(int(std::min<qint64>(m_idleTimeout.count(), INT_MAX)));
    // A plain HTTP/1.1 GET; no cleartext upgrade offer to servers that may not expect one.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);

    std::unique_ptr<QNetworkReply, DeleteLater> reply(m_nam->get(request));
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        // Paint and timers go on; clicks and keys wait until the handler has returned.
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }

    const QNetworkReply::NetworkError error = reply->error();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError) {
        // Nothing here cancels a request but the idle timer.
        qCDebug(lcHttpTransfer) << "GET failed: idle for" << m_idleTimeout.count() << "ms";
        return finished(FetchResult::failure(
            QStringLiteral("连接超时：%1 毫秒内没有收到数据").arg(m_idleTimeout.count())));
    }
    if (error != QNetworkReply::NoError && !(status >= 400 && isStatusError(error))) {
        qCDebug(lcHttpTransfer) << "GET failed:" << error;
        return finished(FetchResult::failure(networkErrorText(error)));
    }

    const QUrl location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (isRedirectStatus(status) && !location.isEmpty()) {
        qCDebug(lcHttpTransfer) << "GET redirected: status" << status;
        return {FetchResult{}, true, reply->url().resolved(location)};
    }

    QByteArray body = reply->readAll();
    // A close before the announced length is a cut body, whatever status came with it.
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && !reply->hasRawHeader("Content-Encoding") &&
        body.size() < announced.toLongLong()) {
        qCDebug(lcHttpTransfer) << "GET failed:" << body.size() << "of" << announced.toLongLong()
                                << "bytes";
        return finished(FetchResult::failure(networkErrorText(QNetworkReply::RemoteHostClosedError)));
    }
    qCDebug(lcHttpTransfer) << "GET done: status" << status << "," << body.size() << "bytes";
    return finished(FetchResult::success(std::move(body)));
}
