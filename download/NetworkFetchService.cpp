#include "download/NetworkFetchService.h"

#include "core/Digest.h"
#include "download/DownloadLog.h"
#include "net/HttpPolicy.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {

// What names this version of the file: a strong ETag names the very bytes; a weak one may not
// be used to resume, Last-Modified stands in for it.
QByteArray validatorOf(const QNetworkReply *reply)
{
    QByteArray validator = reply->rawHeader("ETag");
    if (validator.isEmpty() || validator.startsWith("W/"))
        validator = reply->rawHeader("Last-Modified");
    return validator;
}

} // namespace

using namespace tavrel;
using http::httpStatus;

struct NetworkFetchService::Fetch
{
    quint64 id = 0;
    QString key;
    QString target;
    QNetworkReply *reply = nullptr;
    QTimer *idle = nullptr; // both live with the reply
    QTimer *rate = nullptr;
    qint64 offset = 0;   // the byte of the file asked for first
    ResumeFrom from;     // the file as its first answer described it
    QByteArray digest;   // the SHA-256 this answer publishes
    qint64 startsAt = 0; // the byte of the file this answer's body starts at
    qint64 received = 0; // body bytes of this answer handed over
    qint64 total = 0;    // the file's length, 0 while unknown
    qint64 receivedAtWindowStart = 0;
    bool placed = false; // startsAt and total are read from the answer
    bool firstData = false;
    bool refused = false; // not the rest of the file asked for: its body is never handed over
};

NetworkFetchService::NetworkFetchService(QObject *parent)
    : FetchService(parent), m_manager(std::make_unique<QNetworkAccessManager>()),
      m_idleTimeout(http::IdleTimeout)
{
    qRegisterMetaType<FetchRecord>();
}

NetworkFetchService::~NetworkFetchService()
{
    const QStringList keys = m_fetches.keys();
    for (const QString &key : keys)
        release(key);
}

std::optional<FetchError> NetworkFetchService::start(const QString &url, const QString &key,
                                                     std::optional<int> options,
                                                     const ResumeFrom &from)
{
    Q_UNUSED(options); // no option flags mean anything to this service yet
    const QUrl parsed(url);
    if (!http::isWebUrl(parsed))
        return FetchError{InvalidUrl, tr("无效的下载地址")};
    if (key.isEmpty())
        return FetchError{InvalidKey, tr("没有给出保存文件的路径")};
    if (m_fetches.contains(key))
        return FetchError{KeyInUse, tr("同一文件的下载仍在进行")};

    // A download is a plain GET the server does not act on; chained redirects matter more.
    QNetworkRequest request =
        http::makeRequest(parsed, http::RedirectMode::AvoidLostRedirectChains);
    if (from.offset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(from.offset) + '-');
        if (!from.validator.isEmpty())
            request.setRawHeader("If-Range", from.validator);
    }

    // Reported from the event loop, never from inside start(); posted before the request so
    // that it comes ahead of anything the request itself reports.
    const quint64 id = m_nextId++;
    QMetaObject::invokeMethod(
        this,
        [this, key, id] {
            if (alive(key, id))
                emit progress(recordOf(m_fetches.value(key), FetchRecord::Sending, QString()));
        },
        Qt::QueuedConnection);

    auto *fetch = new Fetch;
    fetch->id = id;
    fetch->key = key;
    fetch->target = url;
    fetch->offset = std::max<qint64>(from.offset, 0);
    fetch->from = from;
    fetch->startsAt = fetch->offset;
    fetch->reply = m_manager->get(request);
    // Keeps memory flat when the disk is slower than the network.
    fetch->reply->setReadBufferSize(http::ReadBufferSize);
    fetch->idle = new QTimer(fetch->reply);
    fetch->idle->setSingleShot(true);
    fetch->idle->setInterval(m_idleTimeout);
    fetch->rate = new QTimer(fetch->reply);
    fetch->rate->setInterval(m_rateWindow);
    m_fetches.insert(key, fetch);

    QNetworkReply *reply = fetch->reply;
    connect(fetch->idle, &QTimer::timeout, this, [this, fetch] {
        finish(fetch, FetchRecord::Failure, failureText(NetworkFailure::TimedOut), Then::Resume);
    });
    connect(fetch->rate, &QTimer::timeout, this, [this, fetch] { onRateWindow(fetch); });
    connect(reply, &QNetworkReply::socketStartedConnecting, this, [this, fetch] {
        fetch->idle->start();
        emit progress(recordOf(fetch, FetchRecord::Connecting, fetch->reply->url().host()));
    });
    connect(reply, &QNetworkReply::redirected, this,
            [this, fetch](const QUrl &to) { onRedirected(fetch, to); });
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, fetch] { onMetaData(fetch); });
    connect(reply, &QNetworkReply::readyRead, this, [this, fetch] { onReadyRead(fetch); });
    connect(reply, &QNetworkReply::finished, this, [this, fetch] { onFinished(fetch); });
    fetch->idle->start();
    fetch->rate->start();

    return std::nullopt;
}

void NetworkFetchService::cancel(const QString &key)
{
    release(key);
}

void NetworkFetchService::setIdleTimeout(std::chrono::milliseconds timeout)
{
    m_idleTimeout = timeout;
    for (Fetch *fetch : std::as_const(m_fetches))
        fetch->idle->setInterval(timeout);
}

void NetworkFetchService::setMinimumRate(qint64 bytesPerSecond, std::chrono::milliseconds window)
{
    m_minimumRate = std::max<qint64>(bytesPerSecond, 0);
    m_rateWindow = std::max(window, std::chrono::milliseconds(1));
    for (Fetch *fetch : std::as_const(m_fetches))
        fetch->rate->setInterval(m_rateWindow);
}

void NetworkFetchService::onMetaData(Fetch *fetch)
{
    // An error page is read to its end but never passed on (see onReadyRead); aborting here
    // races with Qt's own error report.
    fetch->idle->start();
}

void NetworkFetchService::onRedirected(Fetch *fetch, const QUrl &to)
{
    fetch->idle->start();
    fetch->received = 0;
    fetch->receivedAtWindowStart = 0;
    fetch->placed = false;
    fetch->firstData = false;
    fetch->refused = false;
    if (!http::isWebUrl(to)) {
        failSoon(fetch, failureText(NetworkFailure::RedirectUnsupported), Then::GiveUp);
        return;
    }
    emit progress(recordOf(fetch, FetchRecord::Redirecting, http::urlForLog(to.toString())));
}

void NetworkFetchService::onRateWindow(Fetch *fetch)
{
    const qint64 windowSeconds = std::max<qint64>(1, m_rateWindow.count() / 1000);
    const qint64 wanted = m_minimumRate * windowSeconds;
    if (fetch->received - fetch->receivedAtWindowStart < wanted) {
        failSoon(fetch, failureText(NetworkFailure::TooSlow), Then::Resume);
        return;
    }
    fetch->receivedAtWindowStart = fetch->received;
}

bool NetworkFetchService::readPlacement(Fetch *fetch)
{
    fetch->placed = true;
    QNetworkReply *reply = fetch->reply;
    fetch->digest = sha256FromReprDigest(reply->rawHeader("Repr-Digest"));
    if (httpStatus(reply) != 206) {
        // The whole file, even when only the rest was asked for.
        fetch->startsAt = 0;
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        fetch->total = length.isValid() ? length.toLongLong() : 0;
        return true;
    }
    // Only the rest of the file first answered is joined to what is kept: from the start asked
    // for to the file's end, the same length (a "*" length is no whole file), the same version
    // and the same digest.
    const std::optional<http::ContentRange> range =
        http::parseContentRange(reply->rawHeader("Content-Range"));
    const ResumeFrom &from = fetch->from;
    if (!range || range->first != fetch->offset || range->total < 0 ||
        range->last != range->total - 1)
        return false;
    if (fetch->offset > 0 &&
        (range->total != from.total || validatorOf(reply) != from.validator ||
         (!fetch->digest.isEmpty() && !from.digest.isEmpty() && fetch->digest != from.digest)))
        return false;
    fetch->startsAt = range->first;
    fetch->total = range->total;
    return true;
}

void NetworkFetchService::onReadyRead(Fetch *fetch)
{
    fetch->idle->start();
    const int status = httpStatus(fetch->reply);
    if (status < 200 || status >= 300) {
        fetch->reply->skip(fetch->reply->bytesAvailable()); // a redirect's or error's own body
        return;
    }
    const QString key = fetch->key;
    const quint64 id = fetch->id;
    if (!fetch->firstData) {
        fetch->firstData = true;
        if (readPlacement(fetch)) {
            FetchRecord first = recordOf(
                fetch, FetchRecord::FirstData,
                fetch->reply->header(QNetworkRequest::ContentTypeHeader).toString().left(120));
            first.validator = validatorOf(fetch->reply);
            first.digest = fetch->digest;
            emit progress(first);
            if (!alive(key, id))
                return;
        } else {
            fetch->refused = true;
            fetch->placed = false;
            failSoon(fetch, failureText(NetworkFailure::RangeMismatch), Then::Restart);
        }
    }
    if (fetch->refused) {
        fetch->reply->skip(fetch->reply->bytesAvailable());
        return;
    }
    // Handed on as it arrived, in pieces no larger than the reply's buffer, so no large buffer is
    // ever built up here. Whole arrivals rather than 64 KiB slices of them took a third off the
    // CPU time of the thread that writes the file.
    while (fetch->reply->bytesAvailable() > 0) {
        const QByteArray chunk =
            fetch->reply->read(std::min(http::ReadBufferSize, fetch->reply->bytesAvailable()));
        if (chunk.isEmpty())
            return;
        fetch->received += chunk.size();
        emit dataArrived(key, chunk);
        if (!alive(key, id))
            return;
    }
    emit progress(recordOf(fetch, FetchRecord::Downloading, QString()));
}

void NetworkFetchService::onFinished(Fetch *fetch)
{
    QNetworkReply *reply = fetch->reply;
    const QString key = fetch->key;
    const quint64 id = fetch->id;
    if (reply->bytesAvailable() > 0)
        onReadyRead(fetch);
    if (!alive(key, id))
        return;
    if (fetch->refused) {
        finish(fetch, FetchRecord::Failure, failureText(NetworkFailure::RangeMismatch),
               Then::Restart);
        return;
    }
    const int status = httpStatus(reply);
    if (reply->error() != QNetworkReply::NoError) {
        // A status is the server's last word; a broken connection is worth another try.
        if (status >= 400)
            finish(fetch, FetchRecord::Failure, http::statusText(reply));
        else
            finish(fetch, FetchRecord::Failure, http::failureText(reply->error()), Then::Resume);
        return;
    }
    if (status < 200 || status >= 300) {
        finish(fetch, FetchRecord::Failure, http::statusText(reply));
        return;
    }
    if (!http::isBodyWhole(reply, fetch->received)) {
        finish(fetch, FetchRecord::Failure, failureText(NetworkFailure::ClosedEarly), Then::Resume);
        return;
    }
    finish(fetch, FetchRecord::AllData, http::urlForLog(reply->url().toString()));
}

void NetworkFetchService::failSoon(Fetch *fetch, const QString &reason, Then then)
{
    const QString key = fetch->key;
    const quint64 id = fetch->id;
    QMetaObject::invokeMethod(
        this,
        [this, key, id, reason, then] {
            if (alive(key, id))
                finish(m_fetches.value(key), FetchRecord::Failure, reason, then);
        },
        Qt::QueuedConnection);
}

void NetworkFetchService::finish(Fetch *fetch, int status, const QString &text, Then then)
{
    // The fetch is gone before anyone hears of its end, so a handler may start the key anew.
    FetchRecord record = recordOf(fetch, status, text);
    record.resumable = then == Then::Resume;
    record.restart = then == Then::Restart;
    release(fetch->key);
    if (status == FetchRecord::AllData)
        emit progress(record);
    emit completed(record);
}

bool NetworkFetchService::alive(const QString &key, quint64 id) const
{
    const Fetch *fetch = m_fetches.value(key);
    return fetch && fetch->id == id;
}

void NetworkFetchService::release(const QString &key)
{
    Fetch *fetch = m_fetches.take(key);
    if (!fetch)
        return;
    fetch->idle->stop();
    fetch->rate->stop();
    fetch->reply->disconnect(this);
    fetch->idle->disconnect(this);
    fetch->rate->disconnect(this);
    fetch->reply->abort();
    fetch->reply->deleteLater();
    delete fetch;
}

FetchRecord NetworkFetchService::recordOf(const Fetch *fetch, int status, const QString &text) const
{
    FetchRecord r;
    r.key = fetch->key;
    r.target = fetch->target;
    r.startsAt = fetch->startsAt;
    r.bytesRead = fetch->startsAt + fetch->received;
    // Only the file's own answer tells its length, not a redirect or an error page.
    r.bytesMax = fetch->placed ? fetch->total : 0;
    r.statusCode = status;
    r.statusText = text;
    return r;
}
