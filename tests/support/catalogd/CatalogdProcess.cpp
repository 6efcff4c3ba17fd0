#include "CatalogdProcess.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QUrl>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <csignal>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

CatalogdProcess::CatalogdProcess() = default;

CatalogdProcess::~CatalogdProcess()
{
    stop();
}

// With TAVREL_CATALOGD_DATABASE set (postgresql://user@host:port/), each data folder gets a
// PostgreSQL database of its own, made on first use, so that every server starts as empty as
// with SQLite and a restart finds its catalogue again.
QString CatalogdProcess::databaseFor(const QString &dataDir, QString *error)
{
    const QString server = qEnvironmentVariable("TAVREL_CATALOGD_DATABASE");
    if (server.isEmpty())
        return QString();
    const QString name = QStringLiteral("catalogd_")
            + QString::fromLatin1(QCryptographicHash::hash(dataDir.toUtf8(), QCryptographicHash::Sha1)
                                          .toHex()
                                          .left(16));
    QProcess psql;
    psql.start(QStringLiteral("psql"), {QStringLiteral("-d"), server + QStringLiteral("postgres"),
                                        QStringLiteral("-qAtc"),
                                        QStringLiteral("SELECT 1 FROM pg_database WHERE datname = '%1'")
                                                .arg(name)});
    if (!psql.waitForFinished(30000) || psql.exitCode() != 0) {
        *error = QStringLiteral("psql failed: ") + QString::fromUtf8(psql.readAllStandardError());
        return QString();
    }
    if (psql.readAllStandardOutput().trimmed() != "1") {
        psql.start(QStringLiteral("psql"), {QStringLiteral("-d"), server + QStringLiteral("postgres"),
                                            QStringLiteral("-qc"),
                                            QStringLiteral("CREATE DATABASE %1").arg(name)});
        if (!psql.waitForFinished(30000) || psql.exitCode() != 0) {
            *error = QStringLiteral("cannot create the database: ")
                    + QString::fromUtf8(psql.readAllStandardError());
            return QString();
        }
    }
    return server + name;
}

void CatalogdProcess::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    collect();
    m_process.reset();
    m_port = 0;
}

// TAVREL_CATALOGD_URL names a catalogue server that runs already (behind nginx, say), with
// the demo catalogue in TAVREL_CATALOGD_DATA and pages of TAVREL_CATALOGD_PAGE_SIZE records:
// tests that need nothing else run against it unchanged.
bool CatalogdProcess::useRunningServer(const Options &options)
{
    const QUrl url(qEnvironmentVariable("TAVREL_CATALOGD_URL"));
    const int pageSize = qEnvironmentVariableIntValue("TAVREL_CATALOGD_PAGE_SIZE");
    if (!options.demo || !options.dataDir.isEmpty() || !options.extraArgs.isEmpty()
        || (pageSize > 0 && pageSize != options.pageSize)) {
        m_error = QStringLiteral("the catalogue server at %1 cannot be started as this test wants")
                          .arg(url.toString());
        return false;
    }
    m_port = quint16(url.port());
    m_dataDir = qEnvironmentVariable("TAVREL_CATALOGD_DATA");
    return m_port != 0;
}

bool CatalogdProcess::start(const Options &options)
{
    stop();
    if (qEnvironmentVariableIsSet("TAVREL_CATALOGD_URL"))
        return useRunningServer(options);
    m_output.clear();
    m_error.clear();
    m_dataDir = options.dataDir;
    if (m_dataDir.isEmpty()) {
        if (!m_tempDir) {
            m_tempDir = std::make_unique<QTemporaryDir>();
            if (!m_tempDir->isValid()) {
                m_error = QStringLiteral("cannot create a temporary data folder");
                return false;
            }
        }
        m_dataDir = m_tempDir->path();
    }

    QStringList args{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--data"), m_dataDir,
                     QStringLiteral("--page-size"), QString::number(options.pageSize),
                     QStringLiteral("--demo-max-file-size"), QString::number(options.demoMaxFileSize)};
    args << QStringLiteral("--free-failures") << QString::number(options.freeFailures)
         << QStringLiteral("--max-connections-per-peer")
         << QString::number(options.connectionsPerPeer);
    const QString database = databaseFor(m_dataDir, &m_error);
    if (!m_error.isEmpty())
        return false;
    if (!database.isEmpty())
        args << QStringLiteral("--database") << database;
    if (options.demo)
        args << QStringLiteral("--demo");
    if (!options.adminPassword.isEmpty())
        args << QStringLiteral("--admin-password") << options.adminPassword;
    if (!options.securityCode.isEmpty())
        args << QStringLiteral("--security-code") << options.securityCode;
    args << options.extraArgs;

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    // Into a file, never a pipe: a test blocked on a request of its own would not read the pipe,
    // and the server would block writing its log.
    m_outputFile = std::make_unique<QTemporaryFile>();
    if (!m_outputFile->open()) {
        m_error = QStringLiteral("cannot create a file for the server's output");
        return false;
    }
    m_process->setStandardOutputFile(m_outputFile->fileName());
    // A test that crashes must not leave its server running.
    const int descriptors = options.descriptorLimit;
    m_process->setChildProcessModifier([descriptors] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (descriptors > 0) {
            const rlimit limit{rlim_t(descriptors), rlim_t(descriptors)};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
    });
    // TAVREL_CATALOGD points the tests at another build, e.g. to see a test fail on an older one.
    m_process->start(qEnvironmentVariable("TAVREL_CATALOGD", QStringLiteral(TAVREL_CATALOGD_PATH)),
                     args);
    if (!m_process->waitForStarted(10000)) {
        m_error = QStringLiteral("catalogd did not start: ") + m_process->errorString();
        return false;
    }
    static const QRegularExpression listening(QStringLiteral("catalogd: listening on http://127\\.0\\.0\\.1:(\\d+)/\\n"));
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        collect();
        const QRegularExpressionMatch m = listening.match(QString::fromUtf8(m_output));
        if (m.hasMatch()) {
            m_port = quint16(m.captured(1).toUInt());
            return true;
        }
        if (m_process->state() == QProcess::NotRunning) {
            m_error = QStringLiteral("catalogd stopped: ") + QString::fromUtf8(m_output);
            return false;
        }
        m_process->waitForFinished(20);
    }
    m_error = QStringLiteral("catalogd did not say where it listens within 20 s: ") + QString::fromUtf8(m_output);
    stop();
    return false;
}

void CatalogdProcess::collect() const
{
    if (m_outputFile)
        m_output += m_outputFile->readAll(); // from where the last read ended
}

QString CatalogdProcess::rootUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(m_port);
}

QString CatalogdProcess::baseUrl() const
{
    return rootUrl() + QStringLiteral("adminphp/");
}

QString CatalogdProcess::output() const
{
    collect();
    return QString::fromUtf8(m_output);
}

double CatalogdProcess::cpuSeconds() const
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(m_process ? m_process->processId() : 0));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name, which may hold blanks: utime and stime are 14 and 15.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

qint64 CatalogdProcess::residentKiB() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(m_process ? m_process->processId() : 0));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}
