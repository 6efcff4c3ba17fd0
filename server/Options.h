#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>

// Everything catalogd is told at start.
struct ServerOptions
{
    QString listenText = QStringLiteral("127.0.0.1:8080");
    QHostAddress host = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 8080;
    QString dataDir;
    bool demo = false;
    int pageSize = 20;
    std::optional<QString> adminPassword; // first start only
    std::optional<QString> securityCode;  // first start only
    qint64 maxUploadSize = 64 * 1024 * 1024;
    qint64 demoMaxFileSize = 50 * 1024 * 1024;
    qint64 rateLimit = 0;
};

// Reads the command line. Returns the options, or sets *error to the message for a bad value
// (the caller exits with status 2). --help is answered here and exits.
std::optional<ServerOptions> parseServerOptions(const QStringList &arguments, QString *error);
