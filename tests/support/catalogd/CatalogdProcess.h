#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

class QTemporaryDir;
class QTemporaryFile;

// Runs catalogd on 127.0.0.1 with a port the system picks, for as long as the object lives.
class CatalogdProcess
{
public:
    struct Options
    {
        bool demo = true;
        QString adminPassword = QStringLiteral("admin-pass");
        QString securityCode = QStringLiteral("4321");
        int pageSize = 20;
        qint64 demoMaxFileSize = 200000;
        // Wrong guesses before delays start: high, so that tests of other things are not held
        // back by their own wrong passwords.
        int freeFailures = 1000;
        // Connections from one address: high too, since every test connects from 127.0.0.1.
        int connectionsPerPeer = 256;
        QStringList extraArgs;
        QString dataDir; // a temporary folder, removed afterwards, when empty
        int descriptorLimit = 0; // RLIMIT_NOFILE of the server when set
    };

    CatalogdProcess();
    ~CatalogdProcess(); // stops the server and removes a temporary data folder
    CatalogdProcess(const CatalogdProcess &) = delete;
    CatalogdProcess &operator=(const CatalogdProcess &) = delete;

    // Starts the server and waits (up to about 20 s) until it says where it listens.
    bool start(const Options &options);
    bool start() { return start(Options()); }
    void stop();

    QString rootUrl() const; // "http://127.0.0.1:PORT/"
    QString baseUrl() const; // "http://127.0.0.1:PORT/adminphp/"
    quint16 port() const { return m_port; }
    QString dataDir() const { return m_dataDir; }
    QString output() const; // everything it printed so far, both channels
    QString errorString() const { return m_error; }
    QProcess *process() const { return m_process.get(); }
    // User and system CPU time the server has used so far, in seconds (from /proc).
    double cpuSeconds() const;
    qint64 residentKiB() const; // VmRSS

    // The PostgreSQL database of a data folder when the tests run against PostgreSQL, else empty.
    static QString databaseFor(const QString &dataDir, QString *error);

private:
    bool useRunningServer(const Options &options);
    void collect() const;

    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QTemporaryDir> m_tempDir;
    std::unique_ptr<QTemporaryFile> m_outputFile; // everything the server printed
    mutable QByteArray m_output;
    QString m_dataDir;
    QString m_error;
    quint16 m_port = 0;
};
