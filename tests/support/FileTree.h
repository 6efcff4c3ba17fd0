#pragma once

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTest>

// Files as a test lays them out and reads them back.
namespace FileTree {

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Makes the folders on the way too.
inline void write(const QString &path, const QByteArray &bytes)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

// Every entry below dir, relative and sorted, links listed and never followed: what a test
// compares before and after. With contents, a file reads "path=its bytes".
inline QStringList snapshot(const QString &dir, bool withContents = false)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QString entry = QDir(dir).relativeFilePath(path);
        if (withContents && it.fileInfo().isFile() && !it.fileInfo().isSymLink())
            entry += u'=' + QString::fromUtf8(readAll(path));
        entries.append(entry);
    }
    entries.sort();
    return entries;
}

} // namespace FileTree
