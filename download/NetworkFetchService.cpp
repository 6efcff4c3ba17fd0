#include "download/NetworkFetchService.h"

#include "download/DownloadLog.h"
#include "net/HttpPolicy.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {

// How much a reply may hold before the network side waits for us; keeps memory flat when the
// disk is slower than the network.
constexpr qint64 ReadBufferSize = 256 * 1024;
constexpr qint64 ChunkSize = 64 * 1024;

} // namespace

using namespace tavrel;
using http::httpStatus;

struct NetworkFetchService::Fetch
{
    quint64 id = 0;
    QString key;
    QString target;
    QNetworkReply *reply = nullptr;
    QTimer *idle = nullptr; // lives with the reply
    qint64 bytesRead = 0;
    bool firstData = false;
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
                                                     std::optional<int> options)
{
    Q_UNUSED(options); // no option flags mean anything to this service yet
    const QUrl parsed(url);
    if (!http::isWebUrl(parsed))
        return FetchError{InvalidUrl, QStringLiteral("无效的下载地址")};
    if (key.isEmpty())
        return FetchError{InvalidKey, QStringLiteral("没有给出保存文件的路径")};
    if (m_fetches.contains(key))
        return FetchError{KeyInUse, QStringLiteral("同一文件的下载仍在进行")};

    // A download is a plain GET the server does not act on; chained redirects matter more.
    const QNetworkRequest request =
        http::makeRequest(parsed, http::RedirectMode::AvoidLostRedirectChains);

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
    fetch->reply = m_manager->get(request);
    fetch->reply->setReadBufferSize(ReadBufferSize);
    fetch->idle = new QTimer(fetch->reply);
    fetch->idle->setSingleShot(true);
    fetch->idle->setInterval(m_idleTimeout);
    m_fetches.insert(key, fetch);

    QNetworkReply *reply = fetch->reply;
    connect(fetch->idle, &QTimer::timeout, this, [this, fetch] { onIdle(fetch); });
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

void NetworkFetchService::onMetaData(Fetch *fetch)
{
    // An error page is read to its end but never passed on (see onReadyRead); aborting here
    // races with Qt's own error report.
    fetch->idle->start();
}

void NetworkFetchService::onRedirected(Fetch *fetch, const QUrl &to)
{
    fetch->idle->start();
    fetch->bytesRead = 0;
    fetch->firstData = false;
    if (!http::isWebUrl(to)) {
        failSoon(fetch, failureText(NetworkFailure::RedirectUnsupported));
        return;
    }
    emit progress(recordOf(fetch, FetchRecord::Redirecting, http::urlForLog(to.toString())));
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
        emit progress(recordOf(
            fetch, FetchRecord::FirstData,
            fetch->reply->header(QNetworkRequest::ContentTypeHeader).toString().left(120)));
        if (!alive(key, id))
            return;
    }
    // Handed on in pieces of a bounded size, so no large buffer is ever built up here.
    while (fetch->reply->bytesAvailable() > 0) {
        const QByteArray chunk = fetch->reply->read(ChunkSize);
        if (chunk.isEmpty())
            return;
        fetch->bytesRead += chunk.size();
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
    if (reply->error() != QNetworkReply::NoError) {
        finish(fetch, FetchRecord::Failure,
               httpStatus(reply) >= 400 ? http::statusText(reply) : http::failureText(reply->error()));
        return;
    }
    const int status = httpStatus(reply);
    if (status < 200 || status >= 300) {
        finish(fetch, FetchRecord::Failure, http::statusText(reply));
        return;
    }
    if (!http::isBodyWhole(reply, fetch->bytesRead)) {
        finish(fetch, FetchRecord::Failure, failureText(NetworkFailure::ClosedEarly));
        return;
    }
    finish(fetch, FetchRecord::AllData, http::urlForLog(reply->url().toString()));
}

void NetworkFetchService::failSoon(Fetch *fetch, const QString &reason)
{
    const QString key = fetch->key;
    const quint64 id = fetch->id;
    QMetaObject::invokeMethod(
        this,
        [this, key, id, reason] {
            if (alive(key, id))
                finish(m_fetches.value(key), FetchRecord::Failure, reason);
        },
        Qt::QueuedConnection);
}

void NetworkFetchService::onIdle(Fetch *fetch)
{
    finish(fetch, FetchRecord::Failure, failureText(NetworkFailure::TimedOut));
}

void NetworkFetchService::finish(Fetch *fetch, int status, const QString &text)
{
    // The fetch is gone before anyone hears of its end, so a handler may start the key anew.
    const FetchRecord record = recordOf(fetch, status, text);
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
    fetch->reply->disconnect(this);
    fetch->idle->disconnect(this);
    fetch->reply->abort();
    fetch->reply->deleteLater();
    delete fetch;
}

FetchRecord NetworkFetchService::recordOf(const Fetch *fetch, int status, const QString &text) const
{
    FetchRecord r;
    r.key = fetch->key;
    r.target = fetch->target;
    r.bytesRead = fetch->bytesRead;
    // Only the file's own reply announces its length, not a redirect or an error page.
    const int http = httpStatus(fetch->reply);
    const QVariant length = fetch->reply->header(QNetworkRequest::ContentLengthHeader);
    r.bytesMax = http >= 200 && http < 300 && length.isValid() ? length.toLongLong() : 0;
    r.statusCode = status;
    r.statusText = text;
    return r;
}
