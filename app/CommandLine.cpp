#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>

#include <cstdio>

namespace tavrel {

namespace {

// Options the application object reads itself; accepted here so they reach it.
struct QtOption
{
    const char *name;
    bool takesValue;
};
constexpr QtOption qtOptions[] = {
    {"platform", true}, {"platformpluginpath", true}, {"platformtheme", true},
    {"plugin", true},   {"qwindowgeometry", true},    {"qwindowicon", true},
    {"qwindowtitle", true}, {"session", true},        {"display", true},
    {"style", true},    {"stylesheet", true},         {"reverse", false},
    {"widgetcount", false}, {"nograb", false},        {"dograb", false},
    {"sync", false},
};

QCommandLineOption hidden(QCommandLineOption option)
{
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    return option;
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine result;

    QCommandLineParser parser;
    // Qt's own options are single-dash words (-platform, -style).
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QCoreApplication::translate(
        "CommandLine", "Browse a catalogue of software add-ons, download them and, "
                       "as its administrator, moderate the catalogue."));
    // Not addHelpOption(): its --help-all needs the application object to list Qt's options.
    const QCommandLineOption help(
        {QStringLiteral("h"), QStringLiteral("help")},
        QCoreApplication::translate("CommandLine", "Displays help on commandline options."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption server(
        QStringLiteral("server"),
        QCoreApplication::translate("CommandLine",
                                    "The catalogue server's scripts folder, for example "
                                    "http://host:port/adminphp/. Without it: TAVREL_BASE_URL, then "
                                    "server/url in ~/.config/tavrel/tavrel.conf, then %1.")
            .arg(QStringLiteral(TAVREL_DEFAULT_SERVER)),
        QCoreApplication::translate("CommandLine", "url"));
    parser.addOption(server);
#ifdef TAVREL_TEST_HOOKS
    const QCommandLineOption quitWhenShown = hidden(QCommandLineOption(
        QStringLiteral("quit-when-shown"), QStringLiteral("Leave once the window is painted.")));
    parser.addOption(quitWhenShown);
    const QCommandLineOption downloadRow = hidden(QCommandLineOption(
        QStringLiteral("download-row"), QStringLiteral("Download a row, then leave."),
        QStringLiteral("row")));
    parser.addOption(downloadRow);
#endif
    for (const QtOption &qt : qtOptions) {
        parser.addOption(hidden(QCommandLineOption(
            QString::fromLatin1(qt.name), QString(),
            qt.takesValue ? QStringLiteral("value") : QString())));
    }

    const QString program = QCoreApplication::applicationName();
    if (!parser.parse(arguments)) {
        result.exitNow = true;
        result.exitCode = 2;
        result.error = QCoreApplication::translate("CommandLine", "%1: %2\nTry '%1 --help'.\n")
                           .arg(program, parser.errorText());
        return result;
    }
    if (parser.isSet(help)) {
        result.exitNow = true;
        // Without the application object the parser cannot name the program itself.
        result.output =
            parser.helpText().replace(QStringLiteral("<executable_name>"), program);
        return result;
    }
    if (parser.isSet(version)) {
        result.exitNow = true;
        result.output = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                    QCoreApplication::applicationVersion());
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.exitNow = true;
        result.exitCode = 2;
        result.error = QCoreApplication::translate(
                           "CommandLine", "%1: unexpected argument '%2'\nTry '%1 --help'.\n")
                           .arg(program, parser.positionalArguments().first());
        return result;
    }
    if (parser.isSet(server))
        result.server = parser.value(server);
#ifdef TAVREL_TEST_HOOKS
    result.quitWhenShown = parser.isSet(quitWhenShown);
    if (parser.isSet(downloadRow)) {
        bool ok = false;
        result.downloadRow = parser.value(downloadRow).toInt(&ok);
        if (!ok || result.downloadRow < 0) {
            result.exitNow = true;
            result.exitCode = 2;
            result.error = QCoreApplication::translate("CommandLine",
                                                       "%1: --download-row needs a row number\n")
                               .arg(program);
        }
    }
#endif
    return result;
}

ServerChoice chooseServerUrl(const std::optional<QString> &flag, const QString &environment,
                             const QString &configured, const QString &builtIn)
{
    QString text;
    QString source;
    if (flag) {
        text = *flag;
        source = QStringLiteral("--server");
    } else if (!environment.isEmpty()) {
        text = environment;
        source = QStringLiteral("TAVREL_BASE_URL");
    } else if (!configured.isEmpty()) {
        text = configured;
        source =
            QCoreApplication::translate("CommandLine", "server/url in %1").arg(userConfigFile());
    } else {
        text = builtIn;
        source = QCoreApplication::translate("CommandLine", "the built-in address");
    }

    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        url.hasQuery() || url.hasFragment()) {
        return {QString(), QCoreApplication::translate(
                               "CommandLine", "invalid server address '%1' (from %2): give the "
                                              "scripts' folder as http://host:port/adminphp/")
                               .arg(text, source)};
    }
    QString base = url.toString();
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return {base, QString()};
}

QString userConfigFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/tavrel/tavrel.conf");
}

QString configuredServerUrl(const QString &configFile)
{
    const QSettings settings(configFile, QSettings::IniFormat);
    return settings.value(QStringLiteral("server/url")).toString().trimmed();
}

Startup readStartup(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLine line = parseCommandLine(arguments);
    Startup startup;
    if (line.exitNow) {
        std::fputs(qPrintable(line.output), stdout);
        std::fputs(qPrintable(line.error), stderr);
        startup.exitCode = line.exitCode;
        return startup;
    }
    const ServerChoice server =
        chooseServerUrl(line.server, qEnvironmentVariable("TAVREL_BASE_URL"),
                        configuredServerUrl(userConfigFile()),
                        QStringLiteral(TAVREL_DEFAULT_SERVER));
    if (!server.error.isEmpty()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                     qPrintable(server.error));
        startup.exitCode = 2;
        return startup;
    }
    startup.serverUrl = server.url;
    startup.quitWhenShown = line.quitWhenShown;
    startup.downloadRow = line.downloadRow;
    return startup;
}

} // namespace tavrel
