#pragma once

#include <QChar>
#include <QString>
#include <QStringView>

// The one rule for names (item titles, file names, categories, licences), kept by the server
// when it stores them and by the client before it makes a folder or a file of them.
namespace tavrel {

// Characters no name may hold:
// - C0 and C1 controls and DEL: NUL cuts a path short, the others hide what a name is;
// - bidirectional controls and marks (U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069),
//   which show a name in another order than it is ("\u202Egpj.exe" reads "exe.jpg");
// - zero-width characters (U+200B-U+200D, U+2060, U+FEFF), which make two names look one;
// - the line and paragraph separators U+2028 and U+2029, which break a name over lines.
bool isRefusedInName(QChar c);

// A name without any refused character.
bool isAcceptableName(QStringView name);

// The form a name is stored in, Unicode NFC, so that two spellings of one name ("café" with a
// composed or with a combining accent) are one name.
QString storedName(const QString &name);

} // namespace tavrel
