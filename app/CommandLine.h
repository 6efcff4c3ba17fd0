#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The program's command line, read before the application object exists: --help and --version
// must work without a display and before any window or request.
namespace tavrel {

struct CommandLine
{
    // Exit at once with exitCode, printing output (to stdout) or error (to stderr).
    bool exitNow = false;
    int exitCode = 0;
    QString output;
    QString error;

    std::optional<QString> server; // --server, as given
    // Only in builds for tests (TAVREL_TEST_HOOKS); what ships does not know these options.
    bool quitWhenShown = false; // start-up measurements: leave once the window is painted
    int downloadRow = -1;       // install check: download this row, then leave
};

// arguments as main received them, the program's name first. Qt's own options (-platform,
// -style and the like) are let through for the application object.
CommandLine parseCommandLine(const QStringList &arguments);

// The catalogue server's scripts folder: the --server flag, else TAVREL_BASE_URL, else the
// user's configuration file, else the built-in address. An empty environment variable or
// setting counts as unset; the flag counts whenever it is given. The address that wins must be
// an http or https URL with a host, or it is refused: error says which source held what.
struct ServerChoice
{
    QString url; // ends with "/"
    QString error;
};
ServerChoice chooseServerUrl(const std::optional<QString> &flag, const QString &environment,
                             const QString &configured, const QString &builtIn);

// The user's configuration file, ~/.config/tavrel/tavrel.conf, and its server/url setting.
QString userConfigFile();
QString configuredServerUrl(const QString &configFile);

// All of the above for main: help, version and refusals are printed here, and exitCode is set
// when the program is to leave at once (0 after help or version, 2 for a bad command line or
// server address).
struct Startup
{
    std::optional<int> exitCode;
    QString serverUrl;
    bool quitWhenShown = false;
    int downloadRow = -1;
};
Startup readStartup(int argc, char *argv[]);

} // namespace tavrel
