#include "core/Encoding.h"

#include <QStringDecoder>

namespace tavrel {

namespace {

constexpr char hexDigits[] = "0123456789ABCDEF";

void appendEscaped(QString &out, unsigned byte)
{
    out.append(QLatin1Char('%'));
    out.append(QLatin1Char(hexDigits[(byte >> 4) & 0xF]));
    out.append(QLatin1Char(hexDigits[byte & 0xF]));
}

// One UTF-16 unit as UTF-8 escapes; surrogate halves are encoded on their own.
void appendUnitAsUtf8(QString &out, char16_t u)
{
    if (u < 0x800) {
        appendEscaped(out, 0xC0 | (u >> 6));
        appendEscaped(out, 0x80 | (u & 0x3F));
    } else {
        appendEscaped(out, 0xE0 | (u >> 12));
        appendEscaped(out, 0x80 | ((u >> 6) & 0x3F));
        appendEscaped(out, 0x80 | (u & 0x3F));
    }
}

bool isUnreserved(char16_t u)
{
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9')
        || u == u'-' || u == u'.' || u == u'_' || u == u'~';
}

} // namespace

QString utf8ToUnicode(QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return {};
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless
                                                     | QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

QString gbToUtf8(const QString &text)
{
    QString out;
    out.reserve(text.size() * 3);
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x80)
            out.append(c);
        else
            appendUnitAsUtf8(out, u);
    }
    return out;
}

QString encodeQueryValue(const QString &text)
{
    QString out;
    out.reserve(text.size() * 3);
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (isUnreserved(u))
            out.append(c);
        else if (u < 0x80)
            appendEscaped(out, u);
        else
            appendUnitAsUtf8(out, u);
    }
    return out;
}

QString trimBlanks(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace tavrel
