#pragma once

#include <QString>

class Catalog;

// Fills an empty catalogue with a demo set: both lists over several pages, Chinese and ASCII
// titles, a few items awaiting review, and real files from a few bytes up to `maxFileSize`.
bool fillDemoCatalogue(Catalog *catalog, const QString &upDir, qint64 maxFileSize, QString *error);
