#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QHostAddress>
#include <QRandomGenerator>

#include <cstdio>

#include "Catalog.h"
#include "CatalogService.h"
#include "CatalogText.h"
#include "DemoCatalogue.h"
#include "HttpServer.h"

namespace {

void say(const QString &line)
{
    std::fputs(qPrintable(QStringLiteral("catalogd: ") + line + u'\n'), stdout);
    std::fflush(stdout);
}

int usageError(const QString &message)
{
    std::fputs(qPrintable(QStringLiteral("catalogd: ") + message + u'\n'), stderr);
    return 2;
}

bool parseNumber(const QString &text, qint64 min, qint64 max, qint64 *out)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

bool parseListen(const QString &text, QHostAddress *host, quint16 *port)
{
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon <= 0)
        return false;
    QString h = text.left(colon);
    if (h.startsWith(u'[') && h.endsWith(u']'))
        h = h.mid(1, h.size() - 2);
    qint64 p = 0;
    if (!host->setAddress(h) || !parseNumber(text.mid(colon + 1), 0, 65535, &p))
        return false;
    *port = quint16(p);
    return true;
}

QString randomPassword()
{
    static const QString alphabet = QStringLiteral("abcdefghjkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789");
    QString out;
    for (int i = 0; i < 14; ++i)
        out += alphabet.at(QRandomGenerator::system()->bounded(int(alphabet.size())));
    return out;
}

QString randomSecurityCode()
{
    QString code;
    do {
        code = QStringLiteral("%1").arg(QRandomGenerator::system()->bounded(1000000), 6, 10, QChar(u'0'));
    } while (!CatalogText::isAcceptableSecurityCode(code));
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("catalogd"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reference catalogue server."));
    parser.addHelpOption();
    const QCommandLineOption listen(QStringLiteral("listen"), QStringLiteral("Address and port to listen on (port 0 picks one)."),
                                    QStringLiteral("HOST:PORT"), QStringLiteral("127.0.0.1:8080"));
    const QCommandLineOption data(QStringLiteral("data"), QStringLiteral("Folder for the database and item files."), QStringLiteral("DIR"));
    const QCommandLineOption demo(QStringLiteral("demo"), QStringLiteral("Fill an empty catalogue with the demo set."));
    const QCommandLineOption pageSize(QStringLiteral("page-size"), QStringLiteral("Records per catalog page."), QStringLiteral("N"), QStringLiteral("20"));
    const QCommandLineOption adminPassword(QStringLiteral("admin-password"), QStringLiteral("Initial administrator password (first start only)."), QStringLiteral("P"));
    const QCommandLineOption securityCode(QStringLiteral("security-code"), QStringLiteral("Initial security code, decimal digits (first start only)."), QStringLiteral("C"));
    const QCommandLineOption maxUpload(QStringLiteral("max-upload-size"), QStringLiteral("Largest file the upload page accepts."), QStringLiteral("BYTES"), QString::number(64 * 1024 * 1024));
    const QCommandLineOption demoMax(QStringLiteral("demo-max-file-size"), QStringLiteral("Largest demo file."), QStringLiteral("BYTES"), QString::number(50 * 1024 * 1024));
    const QCommandLineOption rateLimit(QStringLiteral("rate-limit"), QStringLiteral("Throttle item file downloads (0: none)."), QStringLiteral("BYTES_PER_SEC"), QStringLiteral("0"));
    parser.addOptions({listen, data, demo, pageSize, adminPassword, securityCode, maxUpload, demoMax, rateLimit});
    parser.process(app);

    QHostAddress host;
    quint16 port = 0;
    if (!parseListen(parser.value(listen), &host, &port))
        return usageError(QStringLiteral("--listen wants HOST:PORT with an IP address, e.g. 127.0.0.1:8080"));
    if (!parser.isSet(data) || parser.value(data).isEmpty())
        return usageError(QStringLiteral("--data DIR is required"));
    qint64 pages = 0, uploadLimit = 0, demoLimit = 0, rate = 0;
    if (!parseNumber(parser.value(pageSize), 1, 10000, &pages))
        return usageError(QStringLiteral("--page-size wants a number from 1 to 10000"));
    if (!parseNumber(parser.value(maxUpload), 1, qint64(1) << 40, &uploadLimit))
        return usageError(QStringLiteral("--max-upload-size wants a positive number of bytes"));
    if (!parseNumber(parser.value(demoMax), 0, qint64(1) << 40, &demoLimit))
        return usageError(QStringLiteral("--demo-max-file-size wants a number of bytes"));
    if (!parseNumber(parser.value(rateLimit), 0, qint64(1) << 40, &rate))
        return usageError(QStringLiteral("--rate-limit wants a number of bytes per second"));
    if (parser.isSet(adminPassword)) {
        const QString p = parser.value(adminPassword);
        if (p.isEmpty() || p.size() > 256 || !CatalogText::isCleanField(p))
            return usageError(QStringLiteral("--admin-password must be 1 to 256 characters without control characters"));
    }
    if (parser.isSet(securityCode) && !CatalogText::isAcceptableSecurityCode(parser.value(securityCode)))
        return usageError(QStringLiteral("--security-code must be 1 to 32 decimal digits and not the value 1"));

    const QDir dir(parser.value(data));
    const QString upDir = dir.filePath(QStringLiteral("up"));
    const QString tempDir = dir.filePath(QStringLiteral("tmp"));
    if (!QDir().mkpath(upDir) || !QDir().mkpath(tempDir))
        return usageError(QStringLiteral("cannot create the data folder %1").arg(dir.path()));

    // Uploads and request bodies cut off by an earlier stop were never part of the catalogue.
    QDir temp(tempDir);
    for (const QString &leftover : temp.entryList(QDir::Files | QDir::Hidden))
        temp.remove(leftover);

    Catalog catalog;
    if (!catalog.open(dir.filePath(QStringLiteral("catalog.db")))) {
        std::fprintf(stderr, "catalogd: cannot open the database: %s\n", qPrintable(catalog.errorString()));
        return 1;
    }
    // Bound before the credentials are made: a start that cannot listen must not use up the
    // one time the password is shown.
    CatalogService service(&catalog, {upDir, tempDir, int(pages), uploadLimit});
    HttpLimits limits;
    limits.maxBodyBytes = uploadLimit + 64 * 1024; // room for the form's other fields
    limits.rateLimit = rate;
    limits.spoolDir = tempDir;
    HttpServer server([&service](const HttpRequest &r) { return service.handle(r); }, limits);
    if (!server.listen(host, port)) {
        std::fprintf(stderr, "catalogd: cannot listen on %s: %s\n", qPrintable(parser.value(listen)),
                     qPrintable(server.errorString()));
        return 1;
    }
    if (!catalog.hasCredentials()) {
        const QString password = parser.isSet(adminPassword) ? parser.value(adminPassword) : randomPassword();
        const QString code = parser.isSet(securityCode) ? parser.value(securityCode) : randomSecurityCode();
        if (!catalog.setCredentials(password, code)) {
            std::fprintf(stderr, "catalogd: cannot store the credentials: %s\n", qPrintable(catalog.errorString()));
            return 1;
        }
        // Shown once, on the terminal of the first start; never written to the request log.
        say(QStringLiteral("administrator password: ") + password);
        say(QStringLiteral("security code: ") + code);
    }
    if (parser.isSet(demo)) {
        QString error;
        if (!fillDemoCatalogue(&catalog, upDir, demoLimit, &error)) {
            std::fprintf(stderr, "catalogd: cannot create the demo catalogue: %s\n", qPrintable(error));
            return 1;
        }
    }

    const QString shownHost = host.protocol() == QAbstractSocket::IPv6Protocol
            ? u'[' + host.toString() + u']'
            : host.toString();
    say(QStringLiteral("listening on http://%1:%2/").arg(shownHost).arg(server.serverPort()));
    return app.exec();
}
