#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// What the client keeps of its downloads: a record beside the library folder, and the rules
// that turn the record and the disk into the marks a list row shows.

namespace tavrel {

// One download that was put in place. An item is known by its server and its id.
struct LibraryEntry
{
    QString server; // the catalogue's base URL
    QString id;
    QString title; // as the row gave it; the item's folder is made from it
    QString fileName;
    QString updated; // the row's 更新时间, as the server sent it
    qint64 size = 0; // bytes of the file put in place
    QString digest;  // what the download verified, empty when it had nothing to verify
    QDateTime downloadedAt;
};

// The record file: library.json beside the library folder "…/Res/", never inside it, so it
// travels with a portable copy and can never be mistaken for an item's folder.
class LibraryRecord
{
public:
    static QString fileFor(const QString &libraryRoot);

    // A missing file is an empty record. A damaged one is an empty record too, and *warning
    // says why: marks then come from the disk alone, and the next download writes it anew.
    static LibraryRecord load(const QString &file, QString *warning = nullptr);
    // Replaces the file in one step (a half-written record is never left behind).
    bool save(const QString &file, QString *error = nullptr) const;

    // Adds the entry, in place of an earlier download of the same item.
    void put(LibraryEntry entry);
    // Drops the entries the predicate picks; how many went.
    qsizetype removeIf(const std::function<bool(const LibraryEntry &)> &pick);

    const LibraryEntry *find(const QString &server, const QString &id) const;
    const QList<LibraryEntry> &entries() const { return m_entries; }

private:
    QList<LibraryEntry> m_entries;
};

// A row's item, as the list shows it.
struct RowItem
{
    QString server;
    QString id;
    QString title;
    QString fileName;
    QString updated;
};

struct ItemMark
{
    enum Kind { None, Downloaded, Verified, Update };
    Kind kind = None;
    bool downloaded = false;  // the row's own file is on disk (also under an update mark)
    bool sizeDiffers = false; // the record knows this file at another size
    QString installedUpdated; // for Update: the 更新时间 of the newest copy on disk
    QString digest;           // for Verified: what the download verified, when it did
};

// A 更新时间 as the catalogue writes it, "yyyy-MM-dd HH:mm:ss"; nothing for anything else.
// Compared as written, without time zones: the server writes every time in its own.
std::optional<std::pair<QDate, QTime>> parseUpdated(const QString &text);

// The mark of a row. fileSize(path) is the size of the file at path, -1 when there is none.
//  - Downloaded: the row's target file (libraryRoot/<title>/<file name>) exists. Verified when
//    the record holds this item at this very size.
//  - Update: a download of the same title from the same server is still on disk, and the
//    newest such copy was updated earlier than the row says (both times readable).
ItemMark markFor(const LibraryRecord &record, const QString &libraryRoot, const RowItem &row,
                 const std::function<qint64(const QString &path)> &fileSize);

} // namespace tavrel
