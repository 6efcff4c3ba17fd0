#include "net/HttpPolicy.h"

#include <QSslCertificate>
#include <QStringList>
#include <QVariant>

namespace tavrel::http {

namespace {

bool isWebScheme(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// Errors Qt raises for a complete reply whose status is 4xx or 5xx.
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

} // namespace

bool isWebUrl(const QUrl &url)
{
    return url.isValid() && !url.isRelative() && isWebScheme(url) && !url.host().isEmpty();
}

std::optional<NetworkFailure> redirectRefusal(const QUrl &from, const QUrl &to)
{
    if (!isWebUrl(to))
        return NetworkFailure::RedirectUnsupported;
    if (from.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
        to.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return NetworkFailure::InsecureRedirect;
    return std::nullopt;
}

QNetworkRequest makeRequest(const QUrl &url, RedirectMode mode)
{
    QNetworkRequest request(url);
    if (mode == RedirectMode::AvoidRepeatedRequests) {
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
    } else {
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::NoLessSafeRedirectPolicy);
        request.setMaximumRedirectsAllowed(MaxRedirects);
    }
    // No cleartext upgrade offer to servers that may not expect one.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    // Set by hand, so Qt leaves the body as it comes and the announced length is its length.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    return request;
}

QUrl redirectTarget(const QNetworkReply *reply)
{
    const QUrl location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (!isRedirectStatus(httpStatus(reply)) || location.isEmpty())
        return {};
    return reply->url().resolved(location);
}

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

std::optional<NetworkFailure> transportFailure(const QNetworkReply *reply)
{
    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::NoError || (httpStatus(reply) >= 400 && isStatusError(error)))
        return std::nullopt;
    return failureOf(error);
}

NetworkFailure failureOf(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return NetworkFailure::Refused;
    case QNetworkReply::RemoteHostClosedError:
        return NetworkFailure::ClosedEarly;
    case QNetworkReply::HostNotFoundError:
        return NetworkFailure::HostNotFound;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError: // what a transfer time-out ends as
        return NetworkFailure::TimedOut;
    case QNetworkReply::SslHandshakeFailedError:
        return NetworkFailure::SecureConnection;
    case QNetworkReply::TooManyRedirectsError:
        return NetworkFailure::TooManyRedirects;
    case QNetworkReply::InsecureRedirectError:
        return NetworkFailure::InsecureRedirect;
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return NetworkFailure::NetworkDown;
    case QNetworkReply::ProtocolUnknownError:
        return NetworkFailure::UnsupportedProtocol;
    case QNetworkReply::ProtocolFailure:
        return NetworkFailure::MalformedReply;
    default:
        if (error >= QNetworkReply::ProxyConnectionRefusedError &&
            error <= QNetworkReply::UnknownProxyError)
            return NetworkFailure::Proxy;
        return NetworkFailure::Other;
    }
}

QString failureText(QNetworkReply::NetworkError error)
{
    return tavrel::failureText(failureOf(error), int(error));
}

bool isBodyWhole(const QNetworkReply *reply, qint64 received)
{
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    return !announced.isValid() || announced.toLongLong() == received;
}

std::optional<ContentRange> parseContentRange(const QByteArray &header)
{
    const QByteArray h = header.trimmed();
    if (!h.startsWith("bytes "))
        return std::nullopt;
    const QByteArray rest = h.mid(6).trimmed();
    const qsizetype dash = rest.indexOf('-');
    const qsizetype slash = rest.indexOf('/');
    if (dash <= 0 || slash <= dash + 1)
        return std::nullopt;
    bool okFirst = false, okLast = false, okTotal = true;
    ContentRange range;
    range.first = rest.left(dash).toLongLong(&okFirst);
    range.last = rest.mid(dash + 1, slash - dash - 1).toLongLong(&okLast);
    const QByteArray total = rest.mid(slash + 1);
    if (total != "*")
        range.total = total.toLongLong(&okTotal);
    if (!okFirst || !okLast || !okTotal || range.first < 0 || range.last < range.first ||
        (range.total >= 0 && range.last >= range.total))
        return std::nullopt;
    return range;
}

QString tlsFailureText(const QList<QSslError> &faults)
{
    if (faults.isEmpty())
        return tavrel::failureText(NetworkFailure::SecureConnection);
    return secureConnectionText(faults.first().errorString());
}

QString tlsFaultsForLog(const QList<QSslError> &faults)
{
    QStringList parts;
    for (const QSslError &fault : faults) {
        QString part = fault.errorString();
        // The certificate's name says which one of a chain is at fault; it is the server's
        // text, so it is kept short and on one line.
        const QSslCertificate certificate = fault.certificate();
        if (!certificate.isNull()) {
            QString name = certificate.subjectInfo(QSslCertificate::CommonName)
                               .join(QLatin1Char(','))
                               .left(100);
            for (QChar &c : name) {
                if (c.category() == QChar::Other_Control)
                    c = QLatin1Char('?');
            }
            part += QStringLiteral(" (CN=%1)").arg(name);
        }
        parts.append(part);
    }
    return parts.join(QStringLiteral("; "));
}

QString statusText(const QNetworkReply *reply)
{
    return httpStatusText(httpStatus(reply),
                          reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
}

QString urlForLog(const QString &url)
{
    const QUrl parsed(url);
    if (!parsed.isValid())
        return QStringLiteral("(invalid URL)");
    return parsed.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment);
}

} // namespace tavrel::http
