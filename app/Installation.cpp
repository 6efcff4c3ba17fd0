#include "app/Installation.h"

#include "core/ItemPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>

// Off unless asked for (QT_LOGGING_RULES="tavrel.app.info=true"): where the program looks.
Q_LOGGING_CATEGORY(lcApp, "tavrel.app", QtWarningMsg)

namespace tavrel {

Installation locateInstallation(const QString &programFolder, const QString &userDataFolder)
{
    Installation where;
    const QString program = QDir::cleanPath(programFolder);
    const QString shared = QDir::cleanPath(program + QStringLiteral("/../share/tavrel"));
    where.installed = !program.isEmpty() && QFileInfo(shared).isDir();
    if (where.installed) {
        where.dataFolder = shared;
        // Never beside the executable, even when root could write there.
        where.libraryRoot = QDir::cleanPath(userDataFolder) + QStringLiteral("/Res/");
    } else {
        where.dataFolder = program;
        where.libraryRoot = chooseLibraryRoot(program, userDataFolder);
    }
    return where;
}

Installation locateInstallation(const QString &programFolder)
{
    const Installation where = locateInstallation(
        programFolder, QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    qCInfo(lcApp).noquote() << (where.installed ? "installed;" : "not installed;")
                            << "skin and chime in" << where.dataFolder << "downloads to"
                            << where.libraryRoot;
    return where;
}

} // namespace tavrel
