#include "Options.h"

#include "CatalogText.h"
#include "core/CatalogPage.h"

#include <QCommandLineParser>

namespace {

struct OptionSpec
{
    const char *name;
    const char *valueName; // nullptr for a switch
    const char *description;
};

const OptionSpec Specs[] = {
    {"listen", "HOST:PORT", "Address and port to listen on (port 0 picks one)."},
    {"data", "DIR", "Folder for the database and item files."},
    {"demo", nullptr, "Fill an empty catalogue with the demo set."},
    {"page-size", "N", "Records per catalog page."},
    {"admin-password", "P", "Initial administrator password (first start only)."},
    {"security-code", "C", "Initial security code, decimal digits (first start only)."},
    {"max-upload-size", "BYTES", "Largest file the upload page accepts."},
    {"demo-max-file-size", "BYTES", "Largest demo file."},
    {"rate-limit", "BYTES_PER_SEC", "Throttle item file downloads (0: none)."},
};

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

// A numeric option: its value when set and within bounds; false with a message otherwise.
struct NumberRule
{
    const char *name;
    qint64 min;
    qint64 max;
    const char *message;
};

bool readNumbers(const QCommandLineParser &parser, ServerOptions *o, QString *error)
{
    qint64 pageSize = o->pageSize;
    const struct
    {
        NumberRule rule;
        qint64 *target;
    } numbers[] = {
        {{"page-size", 1, 10000, "--page-size wants a number from 1 to 10000"}, &pageSize},
        {{"max-upload-size", 1, qint64(1) << 40,
          "--max-upload-size wants a positive number of bytes"},
         &o->maxUploadSize},
        {{"demo-max-file-size", 0, qint64(1) << 40, "--demo-max-file-size wants a number of bytes"},
         &o->demoMaxFileSize},
        {{"rate-limit", 0, qint64(1) << 40, "--rate-limit wants a number of bytes per second"},
         &o->rateLimit},
    };
    for (const auto &n : numbers) {
        const QString name = QString::fromLatin1(n.rule.name);
        if (parser.isSet(name) &&
            !parseNumber(parser.value(name), n.rule.min, n.rule.max, n.target)) {
            *error = QString::fromLatin1(n.rule.message);
            return false;
        }
    }
    o->pageSize = int(pageSize);
    return true;
}

bool readCredentials(const QCommandLineParser &parser, ServerOptions *o, QString *error)
{
    if (parser.isSet(QStringLiteral("admin-password"))) {
        const QString p = parser.value(QStringLiteral("admin-password"));
        if (p.isEmpty() || p.size() > 256 || !tavrel::isCleanField(p)) {
            *error = QStringLiteral(
                "--admin-password must be 1 to 256 characters without control characters");
            return false;
        }
        o->adminPassword = p;
    }
    if (parser.isSet(QStringLiteral("security-code"))) {
        const QString c = parser.value(QStringLiteral("security-code"));
        if (!CatalogText::isAcceptableSecurityCode(c)) {
            *error = QStringLiteral(
                "--security-code must be 1 to 32 decimal digits and not the value 1");
            return false;
        }
        o->securityCode = c;
    }
    return true;
}

} // namespace

std::optional<ServerOptions> parseServerOptions(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reference catalogue server."));
    parser.addHelpOption();
    for (const OptionSpec &spec : Specs) {
        QCommandLineOption option(QString::fromLatin1(spec.name),
                                  QString::fromLatin1(spec.description));
        if (spec.valueName)
            option.setValueName(QString::fromLatin1(spec.valueName));
        parser.addOption(option);
    }
    parser.process(arguments);

    ServerOptions o;
    if (parser.isSet(QStringLiteral("listen")))
        o.listenText = parser.value(QStringLiteral("listen"));
    if (!parseListen(o.listenText, &o.host, &o.port)) {
        *error = QStringLiteral("--listen wants HOST:PORT with an IP address, e.g. 127.0.0.1:8080");
        return std::nullopt;
    }
    o.dataDir = parser.value(QStringLiteral("data"));
    if (o.dataDir.isEmpty()) {
        *error = QStringLiteral("--data DIR is required");
        return std::nullopt;
    }
    o.demo = parser.isSet(QStringLiteral("demo"));
    if (!readNumbers(parser, &o, error) || !readCredentials(parser, &o, error))
        return std::nullopt;
    return o;
}
