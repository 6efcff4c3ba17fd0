#include "Options.h"

#include "CatalogText.h"
#include "core/CatalogPage.h"

#include <algorithm>

#include <QCommandLineParser>
#include <QFile>
#include <QUrl>
#include <QUrlQuery>

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
    {"config", "FILE", "Read options from FILE (key = value); the command line wins."},
    {"admin-password", "P", "Initial administrator password (first start only)."},
    {"admin-password-file", "FILE", "Read the initial administrator password from FILE."},
    {"credentials-file", "FILE", "Write made-up first-start credentials to FILE (0600)."},
    {"security-code", "C", "Initial security code, decimal digits (first start only)."},
    {"max-upload-size", "BYTES", "Largest file the upload page accepts."},
    {"demo-max-file-size", "BYTES", "Largest demo file."},
    {"rate-limit", "BYTES_PER_SEC", "Throttle item file downloads (0: none)."},
    {"database", "URL", "PostgreSQL store, postgresql://[user@]host[:port]/name (no password)."},
    {"database-password-file", "FILE", "File holding the PostgreSQL password."},
    {"instance", "NAME", "Name of this instance among several sharing one store."},
    {"threads", "N", "Threads serving connections (0: one per core, at least 2)."},
    {"max-connections", "N", "Connections at once (0: from the descriptor limit)."},
    {"max-connections-per-peer", "N", "Connections at once from one address."},
    {"free-failures", "N", "Wrong passwords or codes from one address before delays start."},
    {"header-timeout", "SECONDS",
     "Time for a whole request head (a new connection's first from its start)."},
    {"min-body-rate", "BYTES_PER_SEC", "Slowest request body accepted after 10 s (0: any)."},
    {"max-unsent-bytes", "BYTES", "Answer bytes waiting to be sent, all connections together."},
    {"max-spool-bytes", "BYTES", "Upload bytes being received, all uploads together."},
    {"trusted-proxy", "ADDRESS", "Proxy whose X-Forwarded-For names the client (repeatable)."},
    {"x-accel-redirect", "PREFIX", "Hand item files to nginx under this internal location."},
    {"metrics-allow", "ADDRESS[/BITS]", "Beside loopback, who may read /metrics (repeatable)."},
    {"access-log", "FILE", "Request lines to FILE, reopened on SIGHUP (default: stderr)."},
    {"access-log-format", "FORMAT", "combined (default) or json."},
    {"export", "FILE", "Write the whole catalogue to FILE (JSON Lines) and exit."},
    {"import", "FILE", "Load a file of --export into an empty catalogue and exit."},
    {"backup", "FILE", "Write a consistent copy of the SQLite catalogue to FILE and exit."},
    {"audit", nullptr, "Print the record of administrator actions and exit."},
    {"since", "YYYY-MM-DD", "With --audit: from this day on (UTC)."},
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
    qint64 threads = o->threads;
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
        {{"max-connections", 0, 1000000, "--max-connections wants a number"}, &o->maxConnections},
        {{"max-connections-per-peer", 1, 1000000, "--max-connections-per-peer wants a number"},
         &o->maxConnectionsPerPeer},
        {{"free-failures", 1, 1000000, "--free-failures wants a positive number"},
         &o->freeFailures},
        {{"header-timeout", 1, 3600, "--header-timeout wants 1 to 3600 seconds"},
         &o->headerTimeout},
        {{"min-body-rate", 0, qint64(1) << 40, "--min-body-rate wants bytes per second"},
         &o->minBodyRate},
        {{"max-unsent-bytes", 65536, qint64(1) << 40, "--max-unsent-bytes wants at least 65536"},
         &o->maxUnsentBytes},
        {{"max-spool-bytes", 0, qint64(1) << 50, "--max-spool-bytes wants a number of bytes"},
         &o->maxSpoolBytes},
        {{"threads", 0, 256, "--threads wants 0 to 256"}, &threads},
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
    o->threads = int(threads);
    return true;
}

// The first line of a file, without its line break.
std::optional<QString> firstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray line = file.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

bool readCredentials(const QCommandLineParser &parser, ServerOptions *o, QString *error)
{
    const QString passwordFile = parser.value(QStringLiteral("admin-password-file"));
    if (!passwordFile.isEmpty() && parser.isSet(QStringLiteral("admin-password"))) {
        *error = QStringLiteral("give --admin-password or --admin-password-file, not both");
        return false;
    }
    if (parser.isSet(QStringLiteral("admin-password")) || !passwordFile.isEmpty()) {
        const std::optional<QString> read = passwordFile.isEmpty()
                                                ? parser.value(QStringLiteral("admin-password"))
                                                : firstLine(passwordFile);
        if (!read) {
            *error = QStringLiteral("--admin-password-file: cannot read %1").arg(passwordFile);
            return false;
        }
        const QString p = *read;
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

// libpq takes a password from the user part and from a "password" parameter alike.
bool databaseUrlHasPassword(const QUrl &url)
{
    if (url.userInfo(QUrl::FullyEncoded).contains(u':'))
        return true;
    const auto items = QUrlQuery(url).queryItems(QUrl::FullyDecoded);
    return std::any_of(items.begin(), items.end(), [](const auto &item) {
        return item.first.trimmed().compare(u"password", Qt::CaseInsensitive) == 0;
    });
}

bool readDeployment(const QCommandLineParser &parser, ServerOptions *o, QString *error)
{
    o->database = parser.value(QStringLiteral("database"));
    if (!o->database.isEmpty()) {
        const QUrl url(o->database);
        if (!url.isValid() || (url.scheme() != u"postgresql" && url.scheme() != u"postgres")) {
            *error = QStringLiteral("--database wants postgresql://[user@]host[:port]/name");
            return false;
        }
        if (databaseUrlHasPassword(url)) {
            // Anyone on the machine can read a command line.
            *error = QStringLiteral("--database must not carry a password: use "
                                    "--database-password-file, PGPASSFILE or ~/.pgpass");
            return false;
        }
    }
    o->databasePasswordFile = parser.value(QStringLiteral("database-password-file"));
    o->credentialsFile = parser.value(QStringLiteral("credentials-file"));
    o->instance = parser.value(QStringLiteral("instance"));
    if (!o->instance.isEmpty() && !CatalogText::isPlainFileName(o->instance)) {
        *error = QStringLiteral("--instance wants a plain name (letters, digits, - and _)");
        return false;
    }
    for (const QString &value : parser.values(QStringLiteral("trusted-proxy"))) {
        for (const QString &text : value.split(u',', Qt::SkipEmptyParts)) {
            QHostAddress address;
            if (!address.setAddress(text.trimmed())) {
                *error = QStringLiteral("--trusted-proxy wants IP addresses");
                return false;
            }
            o->trustedProxies.append(address);
        }
    }
    for (const QString &value : parser.values(QStringLiteral("metrics-allow"))) {
        for (const QString &text : value.split(u',', Qt::SkipEmptyParts)) {
            const QString t = text.trimmed();
            QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(t);
            if (!t.contains(u'/') && subnet.first.setAddress(t))
                subnet.second = subnet.first.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
            if (subnet.first.isNull() || subnet.second < 0) {
                *error =
                    QStringLiteral("--metrics-allow wants IP addresses or subnets (ADDRESS/BITS)");
                return false;
            }
            o->metricsAllow.append(subnet);
        }
    }
    o->accessLog = parser.value(QStringLiteral("access-log"));
    const QString format = parser.value(QStringLiteral("access-log-format"));
    if (!format.isEmpty() && format != u"combined" && format != u"json") {
        *error = QStringLiteral("--access-log-format wants combined or json");
        return false;
    }
    o->accessLogJson = format == u"json";
    o->accelRedirect = parser.value(QStringLiteral("x-accel-redirect"));
    if (!o->accelRedirect.isEmpty() &&
        (!o->accelRedirect.startsWith(u'/') || !o->accelRedirect.endsWith(u'/'))) {
        *error = QStringLiteral("--x-accel-redirect wants a location such as /internal/up/");
        return false;
    }
    return true;
}

// At most one of the one-shot commands; --since only with --audit.
bool readCommand(const QCommandLineParser &parser, ServerOptions *o, QString *error)
{
    const struct
    {
        const char *name;
        ServerOptions::Command command;
    } commands[] = {{"export", ServerOptions::Command::Export},
                    {"import", ServerOptions::Command::Import},
                    {"backup", ServerOptions::Command::Backup},
                    {"audit", ServerOptions::Command::Audit}};
    for (const auto &c : commands) {
        const QString name = QString::fromLatin1(c.name);
        if (!parser.isSet(name))
            continue;
        if (o->command != ServerOptions::Command::Serve) {
            *error = QStringLiteral("give one of --export, --import, --backup and --audit");
            return false;
        }
        o->command = c.command;
        if (c.command != ServerOptions::Command::Audit) {
            o->commandFile = parser.value(name);
            if (o->commandFile.isEmpty()) {
                *error = QStringLiteral("--%1 wants a file").arg(name);
                return false;
            }
        }
    }
    if (parser.isSet(QStringLiteral("since"))) {
        o->auditSince = QDate::fromString(parser.value(QStringLiteral("since")), Qt::ISODate);
        if (o->command != ServerOptions::Command::Audit || !o->auditSince.isValid()) {
            *error = QStringLiteral("--since wants a day as YYYY-MM-DD, with --audit");
            return false;
        }
    }
    return true;
}

// "key = value" lines, "#" comments; keys are the long options without their dashes, and a
// switch takes true or false. Returns the same as command-line arguments.
std::optional<QStringList> readConfigFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("--config: cannot read %1").arg(path);
        return std::nullopt;
    }
    QStringList args;
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype eq = line.indexOf(u'=');
        const QString key = line.left(eq).trimmed();
        const QString value = eq < 0 ? QString() : line.mid(eq + 1).trimmed();
        const auto entry =
            std::find_if(std::begin(Specs), std::end(Specs),
                         [&](const OptionSpec &s) { return key == QLatin1StringView(s.name); });
        if (eq < 0 || entry == std::end(Specs) || key == u"config") {
            *error =
                QStringLiteral("%1:%2: not a known \"key = value\" line").arg(path).arg(number);
            return std::nullopt;
        }
        // A service that reads its settings at every start must not run a command each time.
        static const QStringList commands{QStringLiteral("export"), QStringLiteral("import"),
                                          QStringLiteral("backup"), QStringLiteral("audit"),
                                          QStringLiteral("since")};
        if (commands.contains(key)) {
            *error = QStringLiteral("%1:%2: %3 is a command for the command line, not a setting")
                         .arg(path)
                         .arg(number)
                         .arg(key);
            return std::nullopt;
        }
        if (!entry->valueName) {
            if (value != u"true" && value != u"false") {
                *error =
                    QStringLiteral("%1:%2: %3 wants true or false").arg(path).arg(number).arg(key);
                return std::nullopt;
            }
            if (value == u"true")
                args << QStringLiteral("--") + key;
            continue;
        }
        args << QStringLiteral("--") + key << value;
    }
    return args;
}

void addOptions(QCommandLineParser *parser)
{
    parser->setApplicationDescription(QStringLiteral("Reference catalogue server."));
    parser->addHelpOption();
    parser->addVersionOption();
    for (const OptionSpec &entry : Specs) {
        QCommandLineOption option(QString::fromLatin1(entry.name),
                                  QString::fromLatin1(entry.description));
        if (entry.valueName)
            option.setValueName(QString::fromLatin1(entry.valueName));
        parser->addOption(option);
    }
}

// The options of a config file that the command line does not give too.
QStringList configArguments(const QStringList &fromFile, const QStringList &givenNames)
{
    QStringList out;
    for (qsizetype i = 0; i < fromFile.size(); ++i) {
        const QString name = fromFile[i].mid(2);
        const bool takesValue = i + 1 < fromFile.size() && !fromFile[i + 1].startsWith(u"--");
        if (!givenNames.contains(name)) {
            out << fromFile[i];
            if (takesValue)
                out << fromFile[i + 1];
        }
        if (takesValue)
            ++i;
    }
    return out;
}

ServerOptions readOptions(const QCommandLineParser &parser, QString *error, bool *ok)
{
    ServerOptions o;
    *ok = false;
    if (parser.isSet(QStringLiteral("listen")))
        o.listenText = parser.value(QStringLiteral("listen"));
    if (!parseListen(o.listenText, &o.host, &o.port)) {
        *error = QStringLiteral("--listen wants HOST:PORT with an IP address, e.g. 127.0.0.1:8080");
        return o;
    }
    o.dataDir = parser.value(QStringLiteral("data"));
    if (o.dataDir.isEmpty()) {
        *error = QStringLiteral("--data DIR is required");
        return o;
    }
    o.demo = parser.isSet(QStringLiteral("demo"));
    *ok = readNumbers(parser, &o, error) && readCredentials(parser, &o, error) &&
          readDeployment(parser, &o, error) && readCommand(parser, &o, error);
    return o;
}

} // namespace

std::optional<ServerOptions> parseServerOptions(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    addOptions(&parser);
    parser.process(arguments);
    QStringList all = arguments;
    if (parser.isSet(QStringLiteral("config"))) {
        const std::optional<QStringList> fromFile =
            readConfigFile(parser.value(QStringLiteral("config")), error);
        if (!fromFile)
            return std::nullopt;
        all = arguments.first(1) + configArguments(*fromFile, parser.optionNames()) +
              arguments.mid(1);
    }
    QCommandLineParser combined;
    addOptions(&combined);
    combined.process(all);
    bool ok = false;
    const ServerOptions o = readOptions(combined, error, &ok);
    if (!ok)
        return std::nullopt;
    return o;
}
