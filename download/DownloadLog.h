#pragma once

#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcDownload)

// A URL as it may appear in a diagnostic line: without user, password, query or fragment,
// which may carry credentials.
QString urlForLog(const QString &url);
