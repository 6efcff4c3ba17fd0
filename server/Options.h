#pragma once

#include <QDate>
#include <QHostAddress>
#include <QPair>
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
    QString credentialsFile; // where made-up first-start credentials go instead of stdout
    qint64 maxUploadSize = 64 * 1024 * 1024;
    qint64 demoMaxFileSize = 50 * 1024 * 1024;
    qint64 rateLimit = 0;

    // Another store than the SQLite file in the data folder.
    QString database;             // postgresql://[user@]host[:port]/name[?options]
    QString databasePasswordFile; // its password, when libpq does not find one itself
    QString instance;             // names this instance's spool folder (tmp/NAME) among several

    // What hostile clients can hold (0 for maxConnections: from the descriptor limit).
    int threads = 0; // serving threads; 0: one per core, at least 2
    qint64 maxConnections = 0;
    qint64 maxConnectionsPerPeer = 32;
    qint64 freeFailures = 5;   // wrong passwords or codes from one address before the delays
    qint64 headerTimeout = 10; // seconds
    qint64 minBodyRate = 1024; // bytes per second
    qint64 maxUnsentBytes = 64 * 1024 * 1024;
    qint64 maxSpoolBytes = 1024 * 1024 * 1024;
    QList<QHostAddress> trustedProxies;
    QString accelRedirect; // prefix of an nginx internal location for item files

    // Watching it run.
    QList<QPair<QHostAddress, int>> metricsAllow; // beside loopback, who may read /metrics
    QString accessLog;                            // file of the request lines; stderr when empty
    bool accessLogJson = false;                   // JSON lines instead of the combined log format

    // One-shot commands: do this to the store, then exit.
    enum class Command { Serve, Export, Import, Backup, Audit };
    Command command = Command::Serve;
    QString commandFile; // what --export, --import or --backup write or read
    QDate auditSince;    // --audit --since: the first day shown
};

// Reads the command line, and the file of --config for what the command line does not give.
// Returns the options, or sets *error to the message for a bad value (the caller exits with
// status 2). --help and --version are answered here and exit.
std::optional<ServerOptions> parseServerOptions(const QStringList &arguments, QString *error);
