#pragma once

#include "client/platform/CatalogList.h"
#include "core/Library.h"

#include <QHash>
#include <QString>

// The library as the window sees it: the record of downloads beside the library folder, the
// marks of list rows, and removing an item's folder without ever reaching outside the library.
class ItemLibrary
{
public:
    explicit ItemLibrary(QString libraryRoot);

    // Reads the record; a damaged one is logged and left aside.
    void load();
    const tavrel::LibraryRecord &record() const { return m_record; }
    QString recordFile() const { return m_recordFile; }

    // The mark of a row's item; the disk is looked at once per file until refresh().
    RowMark mark(const tavrel::RowItem &item) const;
    void refresh() { m_sizes.clear(); }

    // A download was put in place: keeps it, drops what the disk no longer holds, and writes
    // the record. False when the record could not be written (logged).
    bool recordDownload(tavrel::LibraryEntry entry);

    // Removes an item's folder (absolute, below the root, not the root): to the trash, or for
    // good. Refuses a folder reached through a link inside the library; a folder that is itself
    // a link loses only the link.
    enum class Removal { Done, NoTrash, Failed };
    Removal moveToTrash(const QString &folder, QString *why) const;
    Removal removeForGood(const QString &folder, QString *why) const;
    // Why the folder may not be removed at all, or nothing.
    QString removalRefusal(const QString &folder) const;
    // The record forgets every download inside folder and is written again.
    void forgetFolder(const QString &folder);

private:
    qint64 fileSize(const QString &path) const;
    QIcon icon(tavrel::ItemMark::Kind kind) const;
    bool save();

    QString m_root;
    QString m_recordFile;
    tavrel::LibraryRecord m_record;
    mutable QHash<QString, qint64> m_sizes; // path -> size, -1 for none
    mutable QHash<int, QIcon> m_icons;
};
