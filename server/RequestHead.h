#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>

// The head of one HTTP/1.x request: request line and header lines, read from the bytes that
// have arrived so far. A pure function, so that every malformed head has one defined answer.
struct RequestHead
{
    QByteArray method;
    QByteArray target; // as sent, still percent-encoded
    QByteArray version;
    QString path; // decoded
    QByteArray rawQuery;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    bool keepAlive = true;
    qint64 contentLength = 0;

    QByteArray header(const QByteArray &lowerName) const { return headers.value(lowerName); }
};

struct HeadLimits
{
    int maxRequestLine = 8 * 1024;
    int maxHeaderBytes = 16 * 1024;
};

struct HeadParse
{
    enum State { NeedMore, Complete, Failed };
    State state = NeedMore;
    qsizetype consumed = 0; // bytes of the buffer the head took, blank lines before it included
    RequestHead head;       // when Complete
    int status = 0;         // when Failed: the answer, and the connection closes
    QByteArray reason;
};

HeadParse parseRequestHead(QByteArrayView buffer, const HeadLimits &limits);
