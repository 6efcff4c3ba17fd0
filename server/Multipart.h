#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

// multipart/form-data as browsers and curl post it, read as it arrives: a file part can go to
// disk piece by piece, so an upload is never held in memory nor copied once it is whole.
namespace Multipart {

// The boundary of a Content-Type header value; empty when it is not multipart/form-data.
QByteArray boundaryOf(const QByteArray &contentType);

// Where the reader hands what it finds, in order: a part begins, its content in pieces, it ends.
class Sink
{
public:
    virtual ~Sink() = default;
    virtual void partBegins(const QString &name, const std::optional<QString> &fileName) = 0;
    // `offset` counts from the first byte of the body.
    virtual void partData(qint64 offset, QByteArrayView data) = 0;
    virtual void partEnds() = 0;
};

class Reader
{
public:
    explicit Reader(const QByteArray &boundary);

    // Reads the next piece of the body; false once the body is malformed (see error()).
    bool feed(QByteArrayView piece, Sink &sink);
    // The body has ended: true when the closing delimiter came.
    bool finish();
    QString error() const { return m_error; }

private:
    enum class State { Preamble, AfterDelimiter, PartHead, PartData, Done, Failed };

    bool step(Sink &sink);
    bool readPreamble();
    bool readAfterDelimiter();
    bool readPartHead(Sink &sink);
    bool readPartData(Sink &sink);
    bool fail(const QString &why);
    void consume(qsizetype n);

    QByteArray m_delimiter; // "--" boundary
    QByteArray m_separator; // CRLF "--" boundary
    QByteArray m_pending;   // bytes not yet read
    qint64 m_offset = 0;    // of m_pending's first byte in the body
    State m_state = State::Preamble;
    int m_parts = 0;
    QString m_error;
};

struct Part
{
    QString name;
    QString fileName;
    bool isFile = false;
    qsizetype offset = 0; // of the content in the body
    qsizetype length = 0;
};

// Splits a whole body into parts; false with a reason when the body is malformed.
bool parse(QByteArrayView body, const QByteArray &boundary, QList<Part> *parts, QString *error);

} // namespace Multipart
