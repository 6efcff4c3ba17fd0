#include "client/platform/HttpTransfer.h"

#include "net/HttpPolicy.h"

#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <algorithm>
#include <climits>

Q_LOGGING_CATEGORY(lcHttpTransfer, "tavrel.http", QtWarningMsg)

using namespace tavrel;

namespace {

struct DeleteLater
{
    void operator()(QObject *o) const { o->deleteLater(); }
};

} // namespace

HttpTransfer::HttpTransfer(QNetworkAccessManager *nam)
    : m_ownNam(nam ? nullptr : new QNetworkAccessManager), m_nam(nam ? nam : m_ownNam.get()),
      m_idleTimeout(http::IdleTimeout)
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
        return FetchResult::failure(failureText(NetworkFailure::InvalidAddress));
    }
    if (!http::isWebUrl(target)) {
        qCDebug(lcHttpTransfer) << "GET refused: not http or https";
        return FetchResult::failure(failureText(NetworkFailure::UnsupportedProtocol));
    }

    for (int hop = 0;; ++hop) {
        Hop result = get(target);
        if (result.redirect.isEmpty())
            return std::move(result.outcome);
        if (hop == http::MaxRedirects) {
            qCDebug(lcHttpTransfer) << "GET failed: more than" << http::MaxRedirects << "redirects";
            return FetchResult::failure(failureText(NetworkFailure::TooManyRedirects));
        }
        if (!http::isWebUrl(result.redirect)) {
            qCDebug(lcHttpTransfer) << "GET failed: redirect away from http and https";
            return FetchResult::failure(failureText(NetworkFailure::RedirectUnsupported));
        }
        target = result.redirect;
    }
}

HttpTransfer::Hop HttpTransfer::get(const QUrl &target)
{
    QNetworkRequest request = http::makeRequest(target, http::RedirectMode::AvoidRepeatedRequests);
    // The transfer timeout restarts with every byte that arrives, so it is an idle timer.
    request.setTransferTimeout(int(std::min<qint64>(m_idleTimeout.count(), INT_MAX)));

    std::unique_ptr<QNetworkReply, DeleteLater> reply(m_nam->get(request));
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        // Paint and timers go on; clicks and keys wait until the handler has returned.
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }

    if (const std::optional<NetworkFailure> failure = http::transportFailure(reply.get())) {
        if (*failure == NetworkFailure::TimedOut) {
            // Nothing here cancels a request but the idle timer.
            qCDebug(lcHttpTransfer) << "GET failed: idle for" << m_idleTimeout.count() << "ms";
            return {FetchResult::failure(idleTimeoutText(m_idleTimeout.count())), {}};
        }
        qCDebug(lcHttpTransfer) << "GET failed:" << reply->error();
        return {FetchResult::failure(http::failureText(reply->error())), {}};
    }

    const QUrl redirect = http::redirectTarget(reply.get());
    if (!redirect.isEmpty()) {
        qCDebug(lcHttpTransfer) << "GET redirected: status" << http::httpStatus(reply.get());
        return {FetchResult{}, redirect};
    }

    QByteArray body = reply->readAll();
    // A close before the announced length is a cut body, whatever status came with it.
    if (!http::isBodyWhole(reply.get(), body.size())) {
        qCDebug(lcHttpTransfer) << "GET failed:" << body.size() << "bytes, not as announced";
        return {FetchResult::failure(failureText(NetworkFailure::ClosedEarly)), {}};
    }
    qCDebug(lcHttpTransfer) << "GET done: status" << http::httpStatus(reply.get()) << ","
                            << body.size() << "bytes";
    return {FetchResult::success(std::move(body)), {}};
}
