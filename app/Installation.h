#pragma once

#include <QString>

// Where the program's own files and the download library are, for a program whose executable
// lies in programFolder.
//
// An installed program (any prefix: its bin/ has a ../share/tavrel/ beside it) reads its skin
// and chime from share/tavrel/ and downloads into the user's data folder: the program's folder
// belongs to the system and is shared by every user. A portable copy or the build tree keeps
// everything beside the executable, Res/ included, and only falls back to the user's data
// folder when it cannot write there.
namespace tavrel {

struct Installation
{
    bool installed = false;
    QString dataFolder;  // skin and chime; no trailing separator
    QString libraryRoot; // where downloads go; ends with "/"
};

Installation locateInstallation(const QString &programFolder, const QString &userDataFolder);
// The same with the user's data folder of this program (~/.local/share/tavrel).
Installation locateInstallation(const QString &programFolder);

} // namespace tavrel
