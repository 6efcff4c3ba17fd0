#include "app/Language.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLoggingCategory>
#include <QTranslator>

Q_LOGGING_CATEGORY(lcLanguage, "tavrel.language")

namespace tavrel {

bool loadQtTranslation(QCoreApplication &app)
{
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto *translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_zh_CN"), folder)) {
        qCWarning(lcLanguage) << "Qt's Chinese translation is missing from" << folder
                              << "(Debian package qt6-translations-l10n)";
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

} // namespace tavrel
