#include "ItemLibrary.h"

#include "core/ItemPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStandardPaths>

Q_DECLARE_LOGGING_CATEGORY(lcMain)

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ItemLibrary", text);
}

// A round badge with a tick or an arrow, drawn once: no image files to look up per row.
QIcon badge(const QColor &colour, bool arrow)
{
    QIcon icon;
    for (const int side : {16, 32}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(side / 16.0, side / 16.0);
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawEllipse(QRectF(1, 1, 14, 14));
        p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        QPainterPath path;
        if (arrow) {
            path.moveTo(8, 12);
            path.lineTo(8, 4.5);
            path.moveTo(4.5, 8);
            path.lineTo(8, 4.5);
            path.lineTo(11.5, 8);
        } else {
            path.moveTo(4.5, 8.5);
            path.lineTo(7, 11);
            path.lineTo(11.5, 5.5);
        }
        p.drawPath(path);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QString textFor(const tavrel::ItemMark &mark, const QString &rowUpdated)
{
    switch (mark.kind) {
    case tavrel::ItemMark::Verified:
        return mark.digest.isEmpty() ? tr("已下载，文件与下载时一致")
                                     : tr("已下载，文件与下载时一致（下载时已校验）");
    case tavrel::ItemMark::Downloaded:
        return mark.sizeDiffers ? tr("已下载，但文件大小与下载时不同，未经校验")
                                : tr("已下载（没有下载记录，未经校验）");
    case tavrel::ItemMark::Update:
        return tr("有更新：已下载的版本更新于 %1，这一版本更新于 %2")
            .arg(mark.installedUpdated, rowUpdated);
    case tavrel::ItemMark::None:
        break;
    }
    return {};
}

QString withoutSlash(const QString &folder)
{
    return QDir::cleanPath(QDir::fromNativeSeparators(folder));
}

} // namespace

ItemLibrary::ItemLibrary(QString libraryRoot)
    : m_root(std::move(libraryRoot)), m_recordFile(tavrel::LibraryRecord::fileFor(m_root))
{}

void ItemLibrary::load()
{
    QString warning;
    m_record = tavrel::LibraryRecord::load(m_recordFile, &warning);
    if (!warning.isEmpty())
        qCWarning(lcMain).noquote() << warning;
    refresh();
}

qint64 ItemLibrary::fileSize(const QString &path) const
{
    auto it = m_sizes.constFind(path);
    if (it == m_sizes.constEnd()) {
        const QFileInfo info(path);
        it = m_sizes.insert(path, info.isFile() ? info.size() : -1);
    }
    return *it;
}

QIcon ItemLibrary::icon(tavrel::ItemMark::Kind kind) const
{
    // Drawn on first use, and gone with the window: pixmaps must not outlive the application.
    if (m_icons.empty()) {
        m_icons = {{tavrel::ItemMark::Verified, badge(QColor(0x2e, 0x9d, 0x4f), false)},
                   {tavrel::ItemMark::Downloaded, badge(QColor(0x8a, 0x8f, 0x96), false)},
                   {tavrel::ItemMark::Update, badge(QColor(0xe0, 0x7b, 0x00), true)}};
    }
    return m_icons.value(kind);
}

RowMark ItemLibrary::mark(const tavrel::RowItem &item) const
{
    const tavrel::ItemMark mark = tavrel::markFor(
        m_record, m_root, item, [this](const QString &path) { return fileSize(path); });
    if (mark.kind == tavrel::ItemMark::None)
        return {};
    return {icon(mark.kind), textFor(mark, item.updated)};
}

bool ItemLibrary::save()
{
    QString error;
    if (m_record.save(m_recordFile, &error))
        return true;
    qCWarning(lcMain).noquote() << "download record" << m_recordFile << "not written:" << error;
    return false;
}

bool ItemLibrary::recordDownload(tavrel::LibraryEntry entry)
{
    refresh();
    m_record.put(std::move(entry));
    // Downloads whose file has gone since are of no use to any mark.
    m_record.removeIf([this](const tavrel::LibraryEntry &e) {
        const auto target = tavrel::itemTarget(m_root, e.title, e.fileName);
        return !target || fileSize(target->saveFile) < 0;
    });
    return save();
}

void ItemLibrary::forgetFolder(const QString &folder)
{
    const QString inside = withoutSlash(folder) + QLatin1Char('/');
    const qsizetype gone = m_record.removeIf([&](const tavrel::LibraryEntry &e) {
        const auto target = tavrel::itemTarget(m_root, e.title, e.fileName);
        return target && withoutSlash(target->saveFile).startsWith(inside);
    });
    if (gone > 0)
        save();
    refresh();
}

QString ItemLibrary::removalRefusal(const QString &folder) const
{
    const QString path = withoutSlash(folder);
    const QString root = withoutSlash(m_root);
    if (!path.startsWith(root + QLatin1Char('/')))
        return tr("“%1”不在下载文件夹里，不会删除。").arg(QDir::toNativeSeparators(path));
    // A link on the way would make the removal act on what it points to, outside the library.
    const std::optional<QString> link = tavrel::linkInside(m_root, path);
    if (link && *link != path)
        return tr("“%1”是一个符号链接，不会删除它所指的地方。")
            .arg(QDir::toNativeSeparators(*link));
    return {};
}

ItemLibrary::Removal ItemLibrary::moveToTrash(const QString &folder, QString *why) const
{
    const QString path = withoutSlash(folder);
    // Qt moves a file into "files/" of the working folder, and says it succeeded, when the
    // user's data folder (where the trash lives) is missing.
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dataHome.isEmpty() || !QDir().mkpath(dataHome)) {
        *why = tr("找不到用户数据文件夹");
        return Removal::NoTrash;
    }
    QFile item(path);
    if (item.moveToTrash())
        return Removal::Done;
    *why = item.errorString();
    return Removal::NoTrash;
}

ItemLibrary::Removal ItemLibrary::removeForGood(const QString &folder, QString *why) const
{
    const QString path = withoutSlash(folder);
    const QFileInfo info(path);
    // A link as the item's folder: the link goes, what it points to stays.
    // removeRecursively itself removes links inside the folder without following them.
    const bool removed =
        info.isSymLink() || !info.isDir() ? QFile::remove(path) : QDir(path).removeRecursively();
    if (removed)
        return Removal::Done;
    *why = tr("有文件无法删除");
    return Removal::Failed;
}
