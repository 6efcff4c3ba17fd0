#include "client/Main.h"
#include "client/platform/DesktopServices.h"
#include "client/platform/HttpTransfer.h"
#include "client/platform/MessageBoxPrompter.h"
#include "client/platform/StartupEffectsImpl.h"
#include "core/ItemPaths.h"
#include "download/NetworkFetchService.h"

#include <QApplication>
#include <QEvent>

#include <QDir>
#include <QTimer>
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

// The catalog server the program talks to; TAVREL_BASE_URL points it at another one.
QString catalogBaseUrl()
{
    QString base =
        qEnvironmentVariable("TAVREL_BASE_URL", QStringLiteral("http://127.0.0.1:8080/adminphp/"));
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
    // Shown first: start-up's requests wait for the window's first paint.
    window.show();
    window.Form_Load();
    // For start-up measurements: say when the window is first painted and when its first list
    // is on screen, then leave.
    if (QCoreApplication::arguments().contains(QStringLiteral("--quit-when-shown"))) {
        auto *painted = new FirstPaint(&window);
        window.installEventFilter(painted);
        QObject::connect(&window, &Main::startUpFinished, &window, [&window] {
            window.repaint();
            std::puts("shown");
            std::fflush(stdout);
            QCoreApplication::quit();
        });
    }
    return app.exec();
}
