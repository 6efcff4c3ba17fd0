#include "app/InstallCheck.h"

#include "client/Main.h"
#include "download/Downloader.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace tavrel {

void downloadRowThenQuit(Main &window, int row)
{
    Downloader *downloader = window.downloader();
    QObject::connect(downloader, &Downloader::DownloadComplete, &window,
                     [](qint64, const QString &saveFile) {
                         std::printf("downloaded %s\n", qPrintable(saveFile));
                         std::fflush(stdout);
                         QCoreApplication::exit(0);
                     });
    QObject::connect(downloader, &Downloader::DownloadError, &window,
                     [](const QString &saveFile, const QString &reason) {
                         std::fprintf(stderr, "download of %s failed: %s\n", qPrintable(saveFile),
                                      qPrintable(reason));
                         QCoreApplication::exit(1);
                     });
    // Once start-up's list is on show.
    QObject::connect(&window, &Main::startUpFinished, &window, [&window, row] {
        window.ListView_RowSelected(row);
        window.ListView_RowActivated();
        // Nothing started (an empty row, a refused name): nothing will ever end it.
        if (window.downloadUrl().isEmpty()) {
            std::fprintf(stderr, "row %d started no download\n", row);
            QCoreApplication::exit(1);
        }
    });
}

} // namespace tavrel
