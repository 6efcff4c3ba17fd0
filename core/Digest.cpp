#include "core/Digest.h"

#include <optional>

namespace tavrel {

namespace {

// A reader of one structured-field dictionary: the grammar of structured fields, strict, with
// only byte sequences kept. Every other value is read and passed over.
class Dictionary
{
public:
    explicit Dictionary(QByteArrayView text) : m_s(text) {}

    // Calls member(key, bytes) for each member whose value is a byte sequence without inner
    // list; false when the text is no dictionary.
    template <typename Member>
    bool read(Member member)
    {
        skipSpaces();
        while (!atEnd()) {
            const std::optional<QByteArrayView> key = readKey();
            if (!key)
                return false;
            std::optional<QByteArray> bytes;
            if (peek() == '=') {
                ++m_i;
                if (peek() == '(') {
                    if (!readInnerList())
                        return false;
                } else if (!readBareItem(&bytes)) {
                    return false;
                }
            }
            if (!readParameters())
                return false;
            member(*key, bytes);
            skipOptionalWhitespace();
            if (atEnd())
                return true;
            if (peek() != ',')
                return false;
            ++m_i;
            skipOptionalWhitespace();
            if (atEnd())
                return false; // a trailing comma
        }
        return true;
    }

private:
    bool atEnd() const { return m_i >= m_s.size(); }
    char peek() const { return atEnd() ? '\0' : m_s.at(m_i); }
    static bool isLower(char c) { return c >= 'a' && c <= 'z'; }
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    static bool isAlpha(char c) { return isLower(c) || (c >= 'A' && c <= 'Z'); }
    void skipSpaces()
    {
        while (peek() == ' ')
            ++m_i;
    }
    void skipOptionalWhitespace()
    {
        while (peek() == ' ' || peek() == '\t')
            ++m_i;
    }

    std::optional<QByteArrayView> readKey()
    {
        const qsizetype start = m_i;
        if (!isLower(peek()) && peek() != '*')
            return std::nullopt;
        while (!atEnd()) {
            const char c = peek();
            if (!isLower(c) && !isDigit(c) && c != '_' && c != '-' && c != '.' && c != '*')
                break;
            ++m_i;
        }
        return m_s.sliced(start, m_i - start);
    }

    bool readParameters()
    {
        while (peek() == ';') {
            ++m_i;
            skipSpaces();
            if (!readKey())
                return false;
            if (peek() == '=') {
                ++m_i;
                if (!readBareItem(nullptr))
                    return false;
            }
        }
        return true;
    }

    bool readInnerList()
    {
        ++m_i; // '('
        for (;;) {
            skipSpaces();
            if (peek() == ')') {
                ++m_i;
                return true;
            }
            if (!readBareItem(nullptr) || !readParameters())
                return false;
            if (peek() != ' ' && peek() != ')')
                return false;
        }
    }

    // One bare item; a byte sequence goes to *bytes when asked for.
    bool readBareItem(std::optional<QByteArray> *bytes)
    {
        const char c = peek();
        if (c == '-' || isDigit(c))
            return readNumber();
        if (c == '"')
            return readString();
        if (c == '*' || isAlpha(c))
            return readToken();
        if (c == '?')
            return readBoolean();
        if (c == ':')
            return readByteSequence(bytes);
        return false;
    }

    bool readNumber()
    {
        if (peek() == '-')
            ++m_i;
        qsizetype digits = 0, beforePoint = -1;
        while (!atEnd() && (isDigit(peek()) || (peek() == '.' && beforePoint < 0))) {
            if (peek() == '.')
                beforePoint = digits;
            else
                ++digits;
            ++m_i;
        }
        if (beforePoint < 0)
            return digits >= 1 && digits <= 15;
        const qsizetype fraction = digits - beforePoint;
        return beforePoint >= 1 && beforePoint <= 12 && fraction >= 1 && fraction <= 3;
    }

    bool readString()
    {
        ++m_i;
        while (!atEnd()) {
            const char c = m_s.at(m_i++);
            if (c == '\\') {
                if (atEnd() || (peek() != '"' && peek() != '\\'))
                    return false;
                ++m_i;
            } else if (c == '"') {
                return true;
            } else if (c < 0x20 || c > 0x7e) {
                return false;
            }
        }
        return false;
    }

    bool readToken()
    {
        ++m_i;
        while (!atEnd()) {
            const char c = peek();
            // tchar, ':' and '/'
            if (!(isAlpha(c) || isDigit(c) || QByteArrayView("!#$%&'*+-.^_`|~:/").contains(c)))
                break;
            ++m_i;
        }
        return true;
    }

    bool readBoolean()
    {
        ++m_i;
        if (peek() != '0' && peek() != '1')
            return false;
        ++m_i;
        return true;
    }

    bool readByteSequence(std::optional<QByteArray> *bytes)
    {
        ++m_i;
        const qsizetype start = m_i;
        while (!atEnd() && peek() != ':') {
            const char c = peek();
            if (!(isAlpha(c) || isDigit(c) || c == '+' || c == '/' || c == '='))
                return false;
            ++m_i;
        }
        if (atEnd())
            return false;
        const QByteArrayView encoded = m_s.sliced(start, m_i - start);
        ++m_i; // the closing ':'
        const auto decoded = QByteArray::fromBase64Encoding(
            encoded.toByteArray(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return false;
        if (bytes)
            *bytes = decoded.decoded;
        return true;
    }

    QByteArrayView m_s;
    qsizetype m_i = 0;
};

} // namespace

QByteArray sha256FromReprDigest(QByteArrayView field)
{
    // A field longer than any honest list of digests is not read at all.
    if (field.size() > 4096)
        return {};
    QByteArray sha256;
    bool named = false;
    Dictionary dictionary(field);
    const bool ok = dictionary.read([&](QByteArrayView key, const std::optional<QByteArray> &bytes) {
        if (key != "sha-256")
            return;
        // A key given twice: the last one counts, as for any dictionary.
        named = true;
        sha256 = bytes && bytes->size() == Sha256Size ? *bytes : QByteArray();
    });
    return ok && named ? sha256 : QByteArray();
}

QByteArray reprDigestField(QByteArrayView sha256)
{
    return "sha-256=:" + sha256.toByteArray().toBase64() + ':';
}

} // namespace tavrel
