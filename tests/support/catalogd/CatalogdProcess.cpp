#include "CatalogdProcess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>

#include <sys/prctl.h>

CatalogdProcess::CatalogdProcess() = default;

CatalogdProcess::~CatalogdProcess()
{
    stop();
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

bool CatalogdProcess::start(const Options &options)
{
    stop();
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
    args << QStringLiteral("--free-failures") << QString::number(options.freeFailures);
    if (options.demo)
        args << QStringLiteral("--demo");
    if (!options.adminPassword.isEmpty())
        args << QStringLiteral("--admin-password") << options.adminPassword;
    if (!options.securityCode.isEmpty())
        args << QStringLiteral("--security-code") << options.securityCode;
    args << options.extraArgs;

    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    // A test that crashes must not leave its server running.
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_process->start(QStringLiteral(TAVREL_CATALOGD_PATH), args);
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
        m_process->waitForReadyRead(int(qMax<qint64>(1, qMin<qint64>(200, deadline.remainingTime()))));
    }
    m_error = QStringLiteral("catalogd did not say where it listens within 20 s: ") + QString::fromUtf8(m_output);
    stop();
    return false;
}

void CatalogdProcess::collect() const
{
    if (!m_process)
        return;
    // Without an event loop nothing reads the pipe, so poll it here.
    while (m_process->state() == QProcess::Running && m_process->waitForReadyRead(0))
        m_output += m_process->readAll();
    m_output += m_process->readAll();
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
