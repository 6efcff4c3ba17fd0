#include "core/ItemPaths.h"

#include "core/Endpoints.h"
#include "core/NameRule.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

namespace tavrel {

namespace {

bool isSeparator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

// The parts of a name from the server, or why it cannot be a path below the root. Empty parts
// ("a//b") are dropped: they name no folder.
std::optional<QStringList> relativeParts(const QString &name, bool mustNameFile, QString *why)
{
    if (!isAcceptableName(name)) {
        *why = QCoreApplication::translate("ItemPaths", "含有控制字符或不可见字符");
        return std::nullopt;
    }
    if (!name.isEmpty() && isSeparator(name.front())) {
        *why = QCoreApplication::translate("ItemPaths", "是绝对路径");
        return std::nullopt;
    }
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    QStringList parts = name.split(separators, Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (part == QLatin1String(".") || part == QLatin1String("..")) {
            *why = QCoreApplication::translate("ItemPaths", "含有“.”或“..”");
            return std::nullopt;
        }
    }
    if (mustNameFile && (parts.isEmpty() || isSeparator(name.back()))) {
        *why = QCoreApplication::translate("ItemPaths", "以路径分隔符结尾，不是文件名");
        return std::nullopt;
    }
    return parts;
}

QString withTrailingSlash(const QString &folder)
{
    QString f = QDir::fromNativeSeparators(folder);
    if (!f.endsWith(QLatin1Char('/')))
        f.append(QLatin1Char('/'));
    return f;
}

// The program's own Res/ is usable when it is a folder we may write to, or when it is
// missing and may be made.
bool canWriteLibrary(const QString &programFolder)
{
    if (programFolder.isEmpty())
        return false;
    const QFileInfo res(withTrailingSlash(programFolder) + QStringLiteral("Res"));
    if (res.exists())
        return res.isDir() && res.isWritable();
    const QFileInfo program(programFolder);
    return program.isDir() && program.isWritable();
}

} // namespace

std::optional<ItemTarget> itemTarget(const QString &libraryRoot, const QString &title,
                                     const QString &fileName, QString *reason)
{
    QString why;
    const std::optional<QStringList> titleParts = relativeParts(title, false, &why);
    if (!titleParts) {
        if (reason)
            *reason = QCoreApplication::translate("ItemPaths", "软件标题“%1”不能用作文件夹名：%2。")
                          .arg(visibleName(title), why);
        return std::nullopt;
    }
    const std::optional<QStringList> fileParts = relativeParts(fileName, true, &why);
    if (!fileParts) {
        if (reason)
            *reason = QCoreApplication::translate("ItemPaths", "下载地址“%1”不能用作文件名：%2。")
                          .arg(visibleName(fileName), why);
        return std::nullopt;
    }

    ItemTarget target;
    target.folder = withTrailingSlash(libraryRoot);
    if (!titleParts->isEmpty())
        target.folder += titleParts->join(QLatin1Char('/')) + QLatin1Char('/');
    target.fileFolder = target.folder;
    for (qsizetype i = 0; i + 1 < fileParts->size(); ++i)
        target.fileFolder += fileParts->at(i) + QLatin1Char('/');
    target.saveFile = target.fileFolder + fileParts->back();
    return target;
}

QString itemUrl(const QString &baseUrl, const QString &fileName)
{
    QStringList parts = fileName.split(QLatin1Char('/'));
    for (QString &part : parts)
        part = QString::fromLatin1(QUrl::toPercentEncoding(part));
    return baseUrl + endpoint::ItemFiles + parts.join(QLatin1Char('/'));
}

QString chooseLibraryRoot(const QString &programFolder, const QString &fallbackFolder)
{
    if (canWriteLibrary(programFolder) || fallbackFolder.isEmpty())
        return withTrailingSlash(programFolder) + QStringLiteral("Res/");
    return withTrailingSlash(fallbackFolder) + QStringLiteral("Res/");
}

QString visibleName(const QString &name)
{
    QString out;
    out.reserve(name.size());
    for (const QChar c : name) {
        if (!isRefusedInName(c))
            out.append(c);
        else if (c.unicode() < 0x100)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return out;
}

std::optional<QString> linkInside(const QString &libraryRoot, const QString &path)
{
    const QString root = QDir::cleanPath(QDir::fromNativeSeparators(libraryRoot));
    const QString target = QDir::cleanPath(QDir::fromNativeSeparators(path));
    if (!target.startsWith(root + QLatin1Char('/')))
        return std::nullopt;
    QString at = root;
    for (const QString &part : target.mid(root.size() + 1).split(QLatin1Char('/'))) {
        at += QLatin1Char('/') + part;
        const QFileInfo info(at);
        if (info.isSymLink())
            return at;
        if (!info.exists())
            break; // nothing below a missing folder can be a link yet
    }
    return std::nullopt;
}

} // namespace tavrel
