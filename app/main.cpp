#include "app/CommandLine.h"
#ifdef TAVREL_TEST_HOOKS
#include "app/InstallCheck.h"
#endif
#include "app/Installation.h"
#include "app/Language.h"
#include "client/Main.h"
#include "client/platform/DesktopServices.h"
#include "client/platform/HttpTransfer.h"
#include "client/platform/MessageBoxPrompter.h"
#include "client/platform/StartupEffectsImpl.h"
#include "core/Endpoints.h"
#include "download/NetworkFetchService.h"

#include <QApplication>
#include <QDir>
#include <QUrl>

#include <cstdio>

namespace {

// The visit-statistics page lives at the root of the catalog server's web host.
QString statisticsUrl(const QString &baseUrl)
{
    QUrl url(baseUrl);
    url.setPath(tavrel::endpoint::Statistics);
    url.setQuery(QString());
    return url.toString();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("tavrel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));
    // Before the application object: --help and --version need no display.
    const tavrel::Startup startup = tavrel::readStartup(argc, argv);
    if (startup.exitCode)
        return *startup.exitCode;

    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("org.tavrel.Tavrel"));
    tavrel::loadQtTranslation(app);

    HttpTransfer transfer;
    MessageBoxPrompter prompter;
    DesktopServices desktop;
    StartupEffectsImpl effects;

    MainServices services;
    services.transfer = &transfer;
    services.prompter = &prompter;
    services.desktop = &desktop;
    services.effects = &effects;
    services.makeFetchService = [] { return std::make_unique<NetworkFetchService>(); };
    const tavrel::Installation installation =
        tavrel::locateInstallation(QCoreApplication::applicationDirPath());
    services.programFolder = installation.dataFolder;
    services.libraryRoot = installation.libraryRoot;
    services.baseUrl = startup.serverUrl;
    services.statisticsUrl = statisticsUrl(services.baseUrl);

    // Start-up's requests wait for the window's first paint; its look comes before the window
    // is shown (styling a shown window again costs a second pass over every control).
    services.requestsAfterFirstPaint = true;
    Main window(services);
    prompter.setParentWidget(&window);
#ifdef TAVREL_TEST_HOOKS
    // For tests only. Start-up measurements: say when the window is first painted and when its
    // first list is on screen, then leave.
    if (startup.quitWhenShown) {
        QObject::connect(&window, &Main::firstPainted, &window, [] {
            std::puts("painted");
            std::fflush(stdout);
        }, Qt::QueuedConnection);
        QObject::connect(&window, &Main::startUpFinished, &window, [&window] {
            window.repaint();
            std::puts("shown");
            std::fflush(stdout);
            QCoreApplication::quit();
        });
    }
#endif
    // The icon waits for the first paint: reading it looks through every image plugin.
    QObject::connect(&window, &Main::firstPainted, &window, [] {
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon.png")));
    }, Qt::QueuedConnection);
#ifdef TAVREL_TEST_HOOKS
    // The installed program's check: download a row, then leave.
    if (startup.downloadRow >= 0)
        tavrel::downloadRowThenQuit(window, startup.downloadRow);
#endif
    window.Form_Load();
    window.show();
    return app.exec();
}
