#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

// UTF-8 to text the lenient way the server's replies need: a malformed byte becomes U+FFFD
// instead of failing, and a leading byte-order mark stays as U+FEFF.
inline QString decodeUtf8Lenient(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return {};
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless
                                                     | QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}
