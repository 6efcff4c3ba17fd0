#include "client/platform/HttpTransfer.h"

#include "net/HttpPolicy.h"

#include <QCursor>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>
#include <climits>

Q_LOGGING_CATEGORY(lcHttpTransfer, "tavrel.http", QtInfoMsg)

using namespace tavrel;

namespace {

struct DeleteLater
{
    void operator()(QObject *o) const { o->deleteLater(); }
};

// For as long as a request waits: a busy cursor, and the user's input dropped. Excluding input
// from the wait's event loop would only hold it back, and three impatient clicks would then run
// their handler three times once the reply is in.
class WaitingForReply : public QObject
{
public:
    WaitingForReply()
    {
        m_gui = qobject_cast<QGuiApplication *>(QCoreApplication::instance()) != nullptr;
        if (m_gui)
            QGuiApplication::setOverrideCursor(QCursor(Qt::BusyCursor));
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~WaitingForReply() override
    {
        QCoreApplication::instance()->removeEventFilter(this);
        if (m_gui)
            QGuiApplication::restoreOverrideCursor();
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::InputMethod:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletMove:
        case QEvent::TabletRelease:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            return true;
        default:
            return false;
        }
    }

private:
    bool m_gui = false;
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

void HttpTransfer::setDeadline(std::chrono::milliseconds deadline)
{
    m_deadline = std::max(deadline, std::chrono::milliseconds(1));
}

void HttpTransfer::setReplyLimit(qint64 bytes)
{
    m_replyLimit = std::max<qint64>(bytes, 0);
}

FetchResult HttpTransfer::fetch(const QString &url)
{
    // One line for every request that fails, in every build: the address without its query
    // (which carries passwords) and the reason the caller gets.
    FetchResult result = followRedirects(url);
    if (result.cancelled)
        qCInfo(lcHttpTransfer).noquote() << "GET" << http::urlForLog(url.trimmed())
                                         << "cancelled: the program is ending";
    else if (!result.ok)
        qCWarning(lcHttpTransfer).noquote()
            << "GET" << http::urlForLog(url.trimmed()) << "failed:" << result.error;
    return result;
}

FetchResult HttpTransfer::followRedirects(const QString &url)
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

    const auto deadline = std::chrono::steady_clock::now() + m_deadline;
    for (int hop = 0;; ++hop) {
        Hop result = get(target, deadline);
        if (result.redirect.isEmpty())
            return std::move(result.outcome);
        if (hop == http::MaxRedirects) {
            qCDebug(lcHttpTransfer) << "GET failed: more than" << http::MaxRedirects << "redirects";
            return FetchResult::failure(failureText(NetworkFailure::TooManyRedirects));
        }
        if (const auto refusal = http::redirectRefusal(target, result.redirect)) {
            qCDebug(lcHttpTransfer) << "GET failed: redirect refused," << failureText(*refusal);
            return FetchResult::failure(failureText(*refusal));
        }
        target = result.redirect;
    }
}

HttpTransfer::Hop HttpTransfer::get(const QUrl &target,
                                    std::chrono::steady_clock::time_point deadline)
{
    QNetworkRequest request = http::makeRequest(target, http::RedirectMode::AvoidRepeatedRequests);
    // The transfer timeout restarts with every byte that arrives, so it is an idle timer.
    request.setTransferTimeout(int(std::min<qint64>(m_idleTimeout.count(), INT_MAX)));

    std::unique_ptr<QNetworkReply, DeleteLater> reply(m_nam->get(request));
    // The network side reads no more than this ahead of us, so the body below is all the
    // reply ever holds and the limit is checked before more can arrive.
    reply->setReadBufferSize(http::ReadBufferSize);
    QByteArray body;
    QList<QSslError> tlsFaults;
    enum class Cut { No, Deadline, TooLarge } cut = Cut::No;
    // Aborted from the event loop, never from inside one of the reply's own signals.
    const auto stop = [&reply, &cut](Cut why) {
        if (cut != Cut::No)
            return;
        cut = why;
        QMetaObject::invokeMethod(reply.get(), &QNetworkReply::abort, Qt::QueuedConnection);
    };
    // Read straight into the body's own growing buffer: appending another array moves the
    // body to a new buffer each time it grows, so the program would hold it twice.
    const auto take = [&] {
        if (!reply->isOpen())
            return; // aborted
        if (cut != Cut::No) {
            reply->skip(reply->bytesAvailable());
            return;
        }
        for (qint64 n = reply->bytesAvailable(); n > 0; n = reply->bytesAvailable()) {
            const qsizetype at = body.size();
            body.resize(at + n);
            const qint64 got = std::max<qint64>(reply->read(body.data() + at, n), 0);
            body.resize(at + got);
            if (got == 0)
                break;
        }
        if (body.size() > m_replyLimit)
            stop(Cut::TooLarge);
    };
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, [&] {
            const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
            if (announced.isValid() && announced.toLongLong() > m_replyLimit)
                stop(Cut::TooLarge);
        });
        QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, take);
        QObject::connect(reply.get(), &QNetworkReply::sslErrors, &loop,
                         [&tlsFaults](const QList<QSslError> &faults) { tlsFaults = faults; });
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, [&] { stop(Cut::Deadline); });
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        timer.start(std::max<std::chrono::milliseconds::rep>(left.count(), 0));

        const WaitingForReply waiting;
        loop.exec();
    }
    if (!reply->isFinished()) {
        // The wait ended without the reply: the program is quitting.
        reply->abort();
        return {FetchResult::cancel(), {}};
    }
    take(); // what came with the end
    if (cut == Cut::Deadline) {
        qCDebug(lcHttpTransfer) << "GET failed: not done within" << m_deadline.count() << "ms";
        return {FetchResult::failure(deadlineText(
                    std::chrono::duration_cast<std::chrono::seconds>(m_deadline).count())),
                {}};
    }
    if (cut == Cut::TooLarge) {
        qCDebug(lcHttpTransfer) << "GET failed: reply over" << m_replyLimit << "bytes";
        return {FetchResult::failure(
                    failureText(NetworkFailure::ReplyTooLarge, int(m_replyLimit / (1024 * 1024)))),
                {}};
    }

    if (const std::optional<NetworkFailure> failure = http::transportFailure(reply.get())) {
        if (*failure == NetworkFailure::TimedOut) {
            // Nothing here cancels a request but the idle timer.
            qCDebug(lcHttpTransfer) << "GET failed: idle for" << m_idleTimeout.count() << "ms";
            return {FetchResult::failure(idleTimeoutText(m_idleTimeout.count())), {}};
        }
        if (*failure == NetworkFailure::SecureConnection && !tlsFaults.isEmpty()) {
            qCWarning(lcHttpTransfer).noquote()
                << "GET" << http::urlForLog(target.toString())
                << "refused the server's certificate:" << http::tlsFaultsForLog(tlsFaults);
            return {FetchResult::failure(http::tlsFailureText(tlsFaults)), {}};
        }
        qCDebug(lcHttpTransfer) << "GET failed:" << reply->error();
        return {FetchResult::failure(http::failureText(reply->error())), {}};
    }

    const QUrl redirect = http::redirectTarget(reply.get());
    if (!redirect.isEmpty()) {
        qCDebug(lcHttpTransfer) << "GET redirected: status" << http::httpStatus(reply.get());
        return {FetchResult{}, redirect};
    }

    // A close before the announced length is a cut body, whatever status came with it.
    if (!http::isBodyWhole(reply.get(), body.size())) {
        qCDebug(lcHttpTransfer) << "GET failed:" << body.size() << "bytes, not as announced";
        return {FetchResult::failure(failureText(NetworkFailure::ClosedEarly)), {}};
    }
    const int status = http::httpStatus(reply.get());
    // Still a reply, judged by the caller; but a wrong server address shows up here.
    if (status >= 400)
        qCWarning(lcHttpTransfer).noquote() << "GET" << http::urlForLog(target.toString())
                                            << "answered:" << http::statusText(reply.get());
    qCDebug(lcHttpTransfer) << "GET done: status" << status << "," << body.size() << "bytes";
    return {FetchResult::success(std::move(body)), {}};
}
