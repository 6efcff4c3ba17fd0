#pragma once

#include <QString>

// Our own words for a failed transfer, for the user's boxes. The network layer maps its errors
// onto these; its own error strings may quote the whole URL, query and password included, so
// they are never shown or logged.
namespace tavrel {

enum class NetworkFailure {
    InvalidAddress,      // not an absolute http or https URL
    UnsupportedProtocol, // a scheme other than http or https
    Refused,
    ClosedEarly, // the connection ended before the whole body
    HostNotFound,
    TimedOut,
    SecureConnection, // the TLS handshake failed
    TooManyRedirects,
    InsecureRedirect,    // from https down to http
    RedirectUnsupported, // to a scheme other than http or https
    NetworkDown,
    MalformedReply,
    Proxy,
    ReplyTooLarge, // more than the program takes from a server (`code`: the limit in MiB)
    TooSlow,       // bytes trickle in slower than a transfer can live with
    RangeMismatch, // a resumed download answered with other bytes than those asked for
    Other,
};

// The reason in a few words; `code` is the network layer's own number, shown for Other only.
QString failureText(NetworkFailure failure, int code = 0);

// The secure connection was refused for this reason (a certificate fault, in Qt's words).
QString secureConnectionText(const QString &reason);

// No byte arrived for `idleMs` milliseconds.
QString idleTimeoutText(qint64 idleMs);

// The whole reply did not arrive within `seconds`.
QString deadlineText(qint64 seconds);

// A reply whose status says the request failed: "服务器返回 404 Not Found".
QString httpStatusText(int status, const QString &reasonPhrase);

// What a click that could not reach the server tells the user, with the reason when known.
QString unreachableText(const QString &reason);

} // namespace tavrel
