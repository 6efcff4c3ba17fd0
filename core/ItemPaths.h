#pragma once

#include <QString>

#include <optional>

// Where a downloaded item goes on disk and where it comes from on the server. Titles and file
// names come from the server, so they are checked before they become part of a local path.

namespace tavrel {

struct ItemTarget
{
    QString folder;     // the item's folder: library root + title + "/"; opened at the end
    QString fileFolder; // the folder the file lands in (deeper when the file name nests)
    QString saveFile;   // the item's file
};

// The item's folder and file under libraryRoot (which ends with "/"). A "\" or "/" inside the
// title or the file name makes nested folders. A name that could reach outside the root or
// that no file can carry ("..", ".", an absolute path, a character the rule for names refuses,
// a file name that ends with a separator) is refused: nothing then, and *reason says why in the
// user's words.
std::optional<ItemTarget> itemTarget(const QString &libraryRoot, const QString &title,
                                     const QString &fileName, QString *reason = nullptr);

// baseUrl + "up/" + the file name, each "/"-separated part percent-encoded as UTF-8, so that
// blanks, "#", "?", "%" and "\" reach the server as part of the name.
QString itemUrl(const QString &baseUrl, const QString &fileName);

// The library root for a portable program in programFolder: its "Res/" when that can be
// written, otherwise "Res/" in fallbackFolder (the user's data folder). Ends with "/".
QString chooseLibraryRoot(const QString &programFolder, const QString &fallbackFolder);

// A name with the characters the rule for names refuses made visible (as \xNN or \uNNNN), fit
// for a message box.
QString visibleName(const QString &name);

// The first symbolic link on the way from libraryRoot down to path (both absolute, path below
// the root), or nothing. The root itself may be a link: users move the library to another
// disk that way.
std::optional<QString> linkInside(const QString &libraryRoot, const QString &path);

} // namespace tavrel
