#include "app/CommandLine.h"
#include "app/InstallCheck.h"
#include "app/Installation.h"
#include "app/Language.h"
#include "client/Main.h"
#include "client/platform/DesktopServices.h"
#include "client/platform/HttpTransfer.h"
#include "client/platform/MessageBoxPrompter.h"
#include "client/platform/StartupEffectsImpl.h"
#include "download/NetworkFetchService.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QDir>
#include <QUrl>

#include <cstdio>

namespace {

// Says "painted" on stdout once the window has been painted for the first time.
class FirstPaint : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, [] {
                std::puts("painted");
                std::fflush(stdout);
            });
        }
        return false;
    }
};

// The visit-statistics page lives at the root of the catalog server's web host.
QString statisticsUrl(const QString &baseUrl)
{
    QUrl url(baseUrl);
    url.setPath(QStringLiteral("/kovitongji.asp"));
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
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon.png")));
    // For start-up measurements: say when the window is first painted and when its first list
    // is on screen, then leave.
    if (startup.quitWhenShown) {
        window.installEventFilter(new FirstPaint(&window));
        QObject::connect(&window, &Main::startUpFinished, &window, [&window] {
            window.repaint();
            std::puts("shown");
            std::fflush(stdout);
            QCoreApplication::quit();
        });
    }
    if (startup.downloadRow >= 0)
        tavrel::downloadRowThenQuit(window, startup.downloadRow);
    window.Form_Load();
    window.show();
    return app.exec();
}
