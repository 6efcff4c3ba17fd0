#pragma once

#include "core/NetworkFailure.h"

#include <QList>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>

// The rules every HTTP request of the program follows, for the window's blocking GET and for
// the download service alike: which addresses may be fetched, how requests are made, how long
// a transfer may go silent, when a body counts as whole, the words for a failure, and what of
// a URL may appear in a log line.
namespace tavrel::http {

// A transfer that receives nothing for this long fails.
inline constexpr std::chrono::milliseconds IdleTimeout{30000};
// A request that is not done in this time fails, however steadily its bytes trickle in.
inline constexpr std::chrono::seconds RequestDeadline{60};
inline constexpr int MaxRedirects = 5;

// What a server may make the program hold, whatever it sends. Every reply is read through a
// small buffer: while it is full the network side reads nothing more from the connection, so
// bytes are counted as they arrive and a reply is cut at its cap before it can pile up.
inline constexpr qint64 ReadBufferSize = 256 * 1024;
// The most a catalogue page or an administrator's reply may hold.
inline constexpr qint64 MaxReplySize = 64 * 1024 * 1024;
// A body nobody reads (the statistics page) is dropped as it arrives and cut past this.
inline constexpr qint64 MaxUnreadBodySize = 64 * 1024;

// An absolute http or https URL with a host: the only kind of address the program fetches.
bool isWebUrl(const QUrl &url);

// Why a redirect from `from` to `to` is not followed, or nothing: the target must be http or
// https, and an https request never goes on over plain http (a password in its query would
// travel in clear).
std::optional<NetworkFailure> redirectRefusal(const QUrl &from, const QUrl &to);

// Qt 6.4 has a fault on each way of following redirects; each client takes the way whose fault
// it cannot live with, and the way is named after the fault it avoids.
enum class RedirectMode {
    // Nothing is followed by Qt; the client sends one plain GET per hop itself. Qt 6.4's own
    // redirect handling sends a hop's request several times over when the server closes its
    // connections, and an approve or a delete must go out once.
    AvoidRepeatedRequests,
    // Qt follows up to MaxRedirects hops, never from https down to http. Verifying each hop
    // by hand (a user-verified policy) loses the hops after the first of a chain in Qt 6.4.
    AvoidLostRedirectChains,
};

// A plain HTTP/1.1 GET of the body as the server stores it (identity encoding, so its length
// is the announced one), never answered from a cache.
QNetworkRequest makeRequest(const QUrl &url, RedirectMode mode);

// For AvoidRepeatedRequests: where a finished reply sends the client, resolved against the
// reply's URL; empty when it is no redirect.
QUrl redirectTarget(const QNetworkReply *reply);

int httpStatus(const QNetworkReply *reply);

// Why a finished reply is no answer at all, or nothing when a reply arrived. A status of 400 or
// more still came with the server's answer: that is a reply, not a transport failure.
std::optional<NetworkFailure> transportFailure(const QNetworkReply *reply);
NetworkFailure failureOf(QNetworkReply::NetworkError error);
QString failureText(QNetworkReply::NetworkError error);

// A body of `received` bytes is whole when the server announced no length or exactly that one.
bool isBodyWhole(const QNetworkReply *reply, qint64 received);

// "Content-Range: bytes FIRST-LAST/TOTAL" of a 206 answer; total is -1 for "*". Nothing when
// the header does not read as one range of bytes.
struct ContentRange
{
    qint64 first = 0;
    qint64 last = 0;
    qint64 total = -1;
};
std::optional<ContentRange> parseContentRange(const QByteArray &header);

// A secure connection refused for its certificate: the words for the user, which name the first
// fault, and every fault for the log. Certificate faults are never ignored.
QString tlsFailureText(const QList<QSslError> &faults);
QString tlsFaultsForLog(const QList<QSslError> &faults);

// "服务器返回 404 Not Found" for a reply whose status says the request failed.
QString statusText(const QNetworkReply *reply);

// A URL as it may appear in a log line: without user, password, query or fragment, which may
// carry credentials.
QString urlForLog(const QString &url);

} // namespace tavrel::http
