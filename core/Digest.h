#pragma once

#include <QByteArray>
#include <QByteArrayView>

// SHA-256 of item files, and the Repr-Digest header that carries it between catalogd and the
// client: "Repr-Digest: sha-256=:<base64 of the 32 bytes>:".
namespace tavrel {

inline constexpr qsizetype Sha256Size = 32;

// The SHA-256 a Repr-Digest field value names, or empty when it names none. The value is read
// as a dictionary of structured fields: other algorithms are passed over, and a value that does
// not parse, or a sha-256 member that is not 32 bytes of base64, names none.
QByteArray sha256FromReprDigest(QByteArrayView field);

// The field value for a SHA-256 of 32 bytes: "sha-256=:...:".
QByteArray reprDigestField(QByteArrayView sha256);

// A SHA-256 as people compare it: 64 lowercase hex digits.
inline QByteArray digestText(const QByteArray &sha256)
{
    return sha256.toHex();
}

} // namespace tavrel
