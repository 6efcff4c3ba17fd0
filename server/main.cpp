#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRandomGenerator>
#include <QSet>
#include <QSocketNotifier>
#include <QTemporaryFile>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>

#include <csignal>
#include <utility>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "AccessLog.h"
#include "Catalog.h"
#include "CatalogService.h"
#include "CatalogText.h"
#include "Commands.h"
#include "DemoCatalogue.h"
#include "DigestBackfill.h"
#include "HttpServer.h"
#include "Log.h"
#include "Metrics.h"
#include "Options.h"
#include "StoreWatch.h"
#include "SystemdNotify.h"

namespace {

QString randomPassword()
{
    static const QString alphabet =
        QStringLiteral("abcdefghjkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789");
    QString out;
    for (int i = 0; i < 14; ++i)
        out += alphabet.at(QRandomGenerator::system()->bounded(int(alphabet.size())));
    return out;
}

QString randomSecurityCode()
{
    QString code;
    do {
        code = QStringLiteral("%1").arg(QRandomGenerator::system()->bounded(100000000), 8, 10,
                                        QChar(u'0'));
    } while (!CatalogText::isAcceptableSecurityCode(code));
    return code;
}

struct Folders
{
    QString up;    // item files
    QString spool; // uploads being received, this instance's own
    // Files of up/ that an upload of this instance had linked into place when it stopped, by
    // device and inode: the row may never have been stored.
    QSet<QPair<quint64, quint64>> cutOff;
};

// A file in the item folder that no item names is served unlisted and blocks its name: left
// by a stop between an upload's link into place and its row, or a delete whose file could not
// go. Another instance's upload may be between those two steps right now, so a file goes only
// when an upload of this instance left it (Folders::cutOff) or when it is older than this.
constexpr qint64 OrphanAgeSeconds = 15 * 60;

QPair<quint64, quint64> fileId(const QString &path, nlink_t *links = nullptr)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    if (links)
        *links = st.st_nlink;
    return {quint64(st.st_dev), quint64(st.st_ino)};
}

void removeOrphans(Catalog &catalog, const Folders &folders)
{
    const QDateTime oldEnough = QDateTime::currentDateTimeUtc().addSecs(-OrphanAgeSeconds);
    QDirIterator it(folders.up, QDir::Files | QDir::Hidden);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString name = info.fileName();
        if (!CatalogText::isPlainFileName(name))
            continue;
        const bool cutOff =
            !folders.cutOff.isEmpty() && folders.cutOff.contains(fileId(info.filePath()));
        if (!cutOff && info.lastModified() > oldEnough)
            continue;
        if (const StoreResult<bool> taken = catalog.fileNameTaken(name); !taken || *taken)
            continue; // also when the store cannot say
        if (QFile::remove(info.filePath()))
            qCInfo(lcServer).noquote()
                << QStringLiteral("removed up/%1: no item names it").arg(name);
    }
}

// Creates the data folder's parts and throws away what an earlier stop of this instance cut
// off: uploads that never became part of the catalogue. Instances that share the item folder
// each spool in a folder of their own (--instance), on the same file system, so an upload is
// renamed into place and another instance's uploads are left alone; a lock file keeps two
// instances out of one spool folder.
bool prepareFolders(const ServerOptions &options, Folders *folders, QLockFile **lock,
                    QString *error)
{
    const QDir dir(options.dataDir);
    folders->up = dir.filePath(QStringLiteral("up"));
    folders->spool =
        dir.filePath(options.instance.isEmpty() ? QStringLiteral("tmp")
                                                : QStringLiteral("tmp/") + options.instance);
    if (!QDir().mkpath(folders->up) || !QDir().mkpath(folders->spool)) {
        *error = QStringLiteral("cannot create the data folder %1").arg(options.dataDir);
        return false;
    }
    *lock = new QLockFile(QDir(folders->spool).filePath(QStringLiteral(".lock")));
    if (!(*lock)->tryLock()) {
        *error = QStringLiteral("another catalogd uses %1; give each instance its own --instance")
                     .arg(folders->spool);
        return false;
    }
    QDir spool(folders->spool);
    for (const QString &leftover : spool.entryList(QDir::Files | QDir::Hidden)) {
        if (leftover == u".lock")
            continue;
        nlink_t links = 0;
        const QPair<quint64, quint64> id = fileId(spool.filePath(leftover), &links);
        if (links > 1)
            folders->cutOff.insert(id);
        spool.remove(leftover);
    }
    return true;
}

bool readStore(const ServerOptions &options, CatalogStore *store, QString *error)
{
    if (options.database.isEmpty()) {
        store->sqlitePath = QDir(options.dataDir).filePath(QStringLiteral("catalog.db"));
        return true;
    }
    const QUrl url(options.database);
    store->kind = CatalogStore::Postgresql;
    store->host = url.host();
    store->port = url.port(-1);
    store->user = url.userName();
    store->databaseName = url.path().mid(1);
    store->options = QUrlQuery(url).toString(QUrl::FullyDecoded).replace(u'&', u';');
    if (options.databasePasswordFile.isEmpty())
        return true; // libpq's own: PGPASSWORD, PGPASSFILE, ~/.pgpass
    QFile file(options.databasePasswordFile);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1").arg(options.databasePasswordFile);
        return false;
    }
    store->password = QString::fromUtf8(file.readAll()).section(u'\n', 0, 0).trimmed();
    return true;
}

// The first start of a data folder makes the credentials and shows them once; never in the
// request log. Given ones do not go to a file: whoever gave them knows them. They go to a file
// only the server's user can read, when one is given (a service, whose output others may read
// in the journal), else to stdout. The file is written before they are stored, so that a file
// that cannot be written stores nothing, and a stop in between leaves them beside it.
bool makeCredentials(Catalog *catalog, const ServerOptions &options, QString *error)
{
    const StoreResult<bool> has = catalog->hasCredentials();
    if (!has) {
        *error = QStringLiteral("cannot read the credentials: ") + has.error();
        return false;
    }
    if (*has)
        return true;
    const QString password = options.adminPassword.value_or(randomPassword());
    const QString code = options.securityCode.value_or(randomSecurityCode());
    const bool toFile = !options.credentialsFile.isEmpty();
    const bool show = !toFile || !options.adminPassword || !options.securityCode;
    std::unique_ptr<QTemporaryFile> file;
    if (show && toFile) {
        file =
            std::make_unique<QTemporaryFile>(options.credentialsFile + QStringLiteral(".XXXXXX"));
        const QByteArray text = QStringLiteral("administrator password: %1\nsecurity code: %2\n")
                                    .arg(password, code)
                                    .toUtf8();
        if (!file->open() || file->write(text) != text.size() || !file->flush()) {
            *error = QStringLiteral("cannot write the credentials file %1: %2")
                         .arg(options.credentialsFile, file->errorString());
            return false;
        }
    }
    const StoreResult<bool> stored = catalog->setCredentials(password, code);
    if (!stored) {
        *error = QStringLiteral("cannot store the credentials: ") + stored.error();
        return false;
    }
    if (!*stored)
        return true; // another instance made them first
    if (!show)
        return true;
    if (!file) {
        qCInfo(lcAnnounce).noquote() << QStringLiteral("administrator password: ") + password;
        qCInfo(lcAnnounce).noquote() << QStringLiteral("security code: ") + code;
        return true;
    }
    QFile::remove(options.credentialsFile);
    file->setAutoRemove(false); // by any name from here
    if (!file->rename(options.credentialsFile)) {
        qCWarning(lcServer).noquote()
            << QStringLiteral("cannot name the credentials file %1; they are in %2")
                   .arg(options.credentialsFile, file->fileName());
        return true;
    }
    qCInfo(lcAnnounce).noquote() << QStringLiteral("first-start credentials written to ") +
                                        options.credentialsFile;
    return true;
}

// Every descriptor the system allows; connections get about half, the rest is for the files
// they stream, the database and the spool.
int connectionCap(qint64 wanted)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    const qint64 descriptors =
        ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? qint64(limit.rlim_cur) : 1024;
    if (wanted > 0)
        return int(wanted); // told so: running out of descriptors then pauses accepting
    return int(qBound<qint64>(qint64(8), (descriptors - 48) / 2, qint64(10000)));
}

HttpLimits httpLimits(const ServerOptions &options, const Folders &folders)
{
    HttpLimits limits;
    limits.maxBodyBytes = options.maxUploadSize + 64 * 1024; // room for the form's other fields
    limits.rateLimit = options.rateLimit;
    limits.spoolDir = folders.spool;
    limits.headTimeoutMs = int(options.headerTimeout * 1000);
    limits.minBodyRate = options.minBodyRate;
    limits.maxConnections = connectionCap(options.maxConnections);
    limits.maxConnectionsPerPeer = int(options.maxConnectionsPerPeer);
    limits.maxUnsentBytes = options.maxUnsentBytes;
    limits.maxSpoolBytes = options.maxSpoolBytes;
    limits.trustedProxies = options.trustedProxies;
    limits.threads = options.threads > 0 ? options.threads : qMax(2, QThread::idealThreadCount());
    return limits;
}

// Signals arrive through a socket pair, so that the event loop handles them: SIGTERM and
// SIGINT stop, SIGHUP reopens the access log (logrotate moved it away).
int signalPipe[2] = {-1, -1};

void onSignal(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void handleSignals(HttpServer *server)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, server);
    QObject::connect(notifier, &QSocketNotifier::activated, server, [server] {
        char signal = 0;
        if (::read(signalPipe[0], &signal, 1) != 1)
            return;
        if (signal == SIGHUP) {
            AccessLog::instance().reopen();
            return;
        }
        static bool stopping = false;
        if (std::exchange(stopping, true))
            return;
        qCInfo(lcServer, "stopping: finishing the requests in flight");
        SystemdNotify::stopping();
        server->stop(5000);
    });
    QObject::connect(server, &HttpServer::stopped, qApp, &QCoreApplication::quit);
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

QString shownAddress(const ServerOptions &options, quint16 port)
{
    const QString host = options.host.protocol() == QAbstractSocket::IPv6Protocol
                             ? u'[' + options.host.toString() + u']'
                             : options.host.toString();
    return QStringLiteral("http://%1:%2/").arg(host).arg(port);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("catalogd"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CATALOGD_VERSION));
    Log::install();
    ::signal(SIGPIPE, SIG_IGN);

    QString error;
    const std::optional<ServerOptions> options = parseServerOptions(app.arguments(), &error);
    if (!options)
        return failure(BadUsage, error);
    CatalogService::Settings settings;
    if (!readStore(*options, &settings.store, &error))
        return failure(BadUsage, error);
    if (options->command != ServerOptions::Command::Serve)
        return runCommand(*options, settings.store);
    if (!QDir().mkpath(QDir(options->dataDir).filePath(QStringLiteral("up"))))
        return failure(BadUsage,
                       QStringLiteral("cannot create the data folder %1").arg(options->dataDir));
    if (!AccessLog::instance().open(options->accessLog, options->accessLogJson, &error))
        return failure(CannotServe, error);
    Catalog catalog;
    StoreResult<> opened;
    {
        // Making or upgrading the tables may take a while on a large catalogue.
        const SystemdNotify::StartupExtension extension(QStringLiteral("preparing the database"));
        opened = catalog.open(settings.store, true);
    }
    if (!opened)
        return failure(CannotServe, QStringLiteral("cannot open the database: ") + opened.error());
    StoreWatch watch(settings.store);

    settings.upDir = QDir(options->dataDir).filePath(QStringLiteral("up"));
    settings.pageSize = options->pageSize;
    settings.maxUploadSize = options->maxUploadSize;
    settings.accelRedirect = options->accelRedirect;
    settings.freeFailures = int(options->freeFailures);
    settings.storeGeneration = &watch.generation();
    CatalogService service(settings);
    if (!watch.start([&service] { service.catalogueChanged(); }, &error))
        return failure(CannotServe, QStringLiteral("cannot open the database: ") + error);
    const HttpShared *shared = nullptr;
    const auto handler = [&](const HttpRequest &r, const HttpReply &reply) {
        if (r.path == u"/healthz")
            return watch.check(r, reply);
        if (r.path == u"/metrics")
            return reply(Metrics::instance().page(r, options->metricsAllow, shared));
        service.handle(r, reply);
    };
    HttpServer server(handler, httpLimits(*options, {}));
    shared = &server.shared();
    // Bound before the credentials are made: a start that cannot listen must not use up the
    // one time the password is shown.
    if (!server.listen(options->host, options->port)) {
        return failure(CannotServe, QStringLiteral("cannot listen on %1: %2")
                                        .arg(options->listenText, server.errorString()));
    }
    Folders folders;
    QLockFile *spoolLock = nullptr;
    const bool prepared = prepareFolders(*options, &folders, &spoolLock, &error);
    const std::unique_ptr<QLockFile> keepLocked(spoolLock);
    if (!prepared)
        return failure(CannotServe, error);
    server.setSpoolDir(folders.spool);
    if (!makeCredentials(&catalog, *options, &error))
        return failure(CannotServe, error);
    if (options->demo && !fillDemoCatalogue(&catalog, folders.up, options->demoMaxFileSize, &error))
        return failure(CannotServe, QStringLiteral("cannot create the demo catalogue: ") + error);
    // Off the main thread, with a store connection of its own: a large folder takes a while.
    const std::unique_ptr<QThread> sweeper(QThread::create([&settings, &folders] {
        Catalog own;
        if (own.open(settings.store, false))
            removeOrphans(own, folders);
    }));
    sweeper->start();
    const DigestBackfill digests(settings.store, settings.upDir);

    handleSignals(&server);
    const QString address = shownAddress(*options, server.serverPort());
    qCInfo(lcAnnounce).noquote() << QStringLiteral("listening on ") + address;
    SystemdNotify::ready(QStringLiteral("serving on ") + address);
    // Tied to the loop that accepts connections, never to the store: a database outage must
    // not become a restart loop.
    SystemdNotify::startWatchdog(&server);
    const int status = app.exec();
    sweeper->wait();
    qCInfo(lcServer, "stopped");
    return status;
}
