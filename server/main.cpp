#include <QCoreApplication>
#include <QDir>
#include <QRandomGenerator>

#include "Catalog.h"
#include "CatalogService.h"
#include "CatalogText.h"
#include "DemoCatalogue.h"
#include "HttpServer.h"
#include "Log.h"
#include "Options.h"

namespace {

// Exit statuses: a bad option value, and a database or port that cannot be used.
constexpr int BadUsage = 2;
constexpr int CannotServe = 1;

int failure(int status, const QString &message)
{
    qCCritical(lcServer).noquote() << message;
    return status;
}

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
        code = QStringLiteral("%1").arg(QRandomGenerator::system()->bounded(1000000), 6, 10,
                                        QChar(u'0'));
    } while (!CatalogText::isAcceptableSecurityCode(code));
    return code;
}

struct Folders
{
    QString up;   // item files
    QString temp; // uploads being received
};

// Creates the data folder's parts and throws away what an earlier stop cut off: uploads and
// request bodies that never became part of the catalogue.
bool prepareFolders(const QString &dataDir, Folders *folders)
{
    const QDir dir(dataDir);
    folders->up = dir.filePath(QStringLiteral("up"));
    folders->temp = dir.filePath(QStringLiteral("tmp"));
    if (!QDir().mkpath(folders->up) || !QDir().mkpath(folders->temp))
        return false;
    QDir temp(folders->temp);
    for (const QString &leftover : temp.entryList(QDir::Files | QDir::Hidden))
        temp.remove(leftover);
    return true;
}

// The first start of a data folder makes the credentials and shows them once; never in the
// request log.
bool makeCredentials(Catalog *catalog, const ServerOptions &options)
{
    if (catalog->hasCredentials())
        return true;
    const QString password = options.adminPassword.value_or(randomPassword());
    const QString code = options.securityCode.value_or(randomSecurityCode());
    if (!catalog->setCredentials(password, code))
        return false;
    qCInfo(lcAnnounce).noquote() << QStringLiteral("administrator password: ") + password;
    qCInfo(lcAnnounce).noquote() << QStringLiteral("security code: ") + code;
    return true;
}

HttpLimits httpLimits(const ServerOptions &options, const Folders &folders)
{
    HttpLimits limits;
    limits.maxBodyBytes = options.maxUploadSize + 64 * 1024; // room for the form's other fields
    limits.rateLimit = options.rateLimit;
    limits.spoolDir = folders.temp;
    return limits;
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
    Log::install();

    QString error;
    const std::optional<ServerOptions> options = parseServerOptions(app.arguments(), &error);
    if (!options)
        return failure(BadUsage, error);
    Folders folders;
    if (!prepareFolders(options->dataDir, &folders))
        return failure(BadUsage,
                       QStringLiteral("cannot create the data folder %1").arg(options->dataDir));

    Catalog catalog;
    if (!catalog.open(QDir(options->dataDir).filePath(QStringLiteral("catalog.db"))))
        return failure(CannotServe,
                       QStringLiteral("cannot open the database: ") + catalog.errorString());
    // Bound before the credentials are made: a start that cannot listen must not use up the
    // one time the password is shown.
    CatalogService service(&catalog,
                           {folders.up, folders.temp, options->pageSize, options->maxUploadSize});
    HttpServer server([&service](const HttpRequest &r) { return service.handle(r); },
                      httpLimits(*options, folders));
    if (!server.listen(options->host, options->port)) {
        return failure(CannotServe, QStringLiteral("cannot listen on %1: %2")
                                        .arg(options->listenText, server.errorString()));
    }
    if (!makeCredentials(&catalog, *options))
        return failure(CannotServe,
                       QStringLiteral("cannot store the credentials: ") + catalog.errorString());
    if (options->demo && !fillDemoCatalogue(&catalog, folders.up, options->demoMaxFileSize, &error))
        return failure(CannotServe, QStringLiteral("cannot create the demo catalogue: ") + error);

    qCInfo(lcAnnounce).noquote() << QStringLiteral("listening on ") +
                                        shownAddress(*options, server.serverPort());
    return app.exec();
}
