#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

// multipart/form-data as browsers and curl post it. Parts point into the body, which may be a
// mapped file, so a large upload is never copied into memory.
namespace Multipart {

struct Part
{
    QString name;
    QString fileName;
    bool isFile = false;
    qsizetype offset = 0; // of the content in the body
    qsizetype length = 0;
};

// The boundary of a Content-Type header value; empty when it is not multipart/form-data.
QByteArray boundaryOf(const QByteArray &contentType);

// Splits the body into parts; false with a reason when the body is malformed.
bool parse(QByteArrayView body, const QByteArray &boundary, QList<Part> *parts, QString *error);

} // namespace Multipart
