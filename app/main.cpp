#include "core/ItemPaths.h"
#include "client/Main.h"
#include "client/platform/DesktopServices.h"
#include "client/platform/HttpTransfer.h"
#include "client/platform/MessageBoxPrompter.h"
#include "client/platform/StartupEffectsImpl.h"
#include "download/NetworkFetchService.h"

#include <QApplication>
#include <QTimer>
#include <QDir>
#include <QUrl>

namespace {

// The catalog server the program talks to; TAVREL_BASE_URL points it at another one.
QString catalogBaseUrl()
{
    QString base = qEnvironmentVariable("TAVREL_BASE_URL",
                                        QStringLiteral("http://127.0.0.1:8080/adminphp/"));
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return base;
}

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
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tavrel"));

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
    services.programFolder = QDir::cleanPath(QCoreApplication::applicationDirPath());
    services.libraryRoot = tavrel::chooseLibraryRoot(services.programFolder);
    services.baseUrl = catalogBaseUrl();
    services.statisticsUrl = statisticsUrl(services.baseUrl);

    Main window(services);
    prompter.setParentWidget(&window);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon.png")));
    window.Form_Load();
    window.show();
    // For start-up measurements: leave once the window with its first list has been painted.
    if (QCoreApplication::arguments().contains(QStringLiteral("--quit-when-shown"))) {
        QTimer::singleShot(0, &window, [&] {
            window.repaint();
            QCoreApplication::quit();
        });
    }
    return app.exec();
}
