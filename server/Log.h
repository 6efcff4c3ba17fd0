#pragma once

#include <QLoggingCategory>

// The server's lines. Announcements (the address it listens on, first-start credentials) go to
// stdout exactly as "catalogd: TEXT", because scripts wait for them; everything else goes to
// stderr as "TIME catalogd: TEXT", TIME in UTC (2026-03-01T09:00:00.000Z). Each category can be
// switched with QT_LOGGING_RULES.
Q_DECLARE_LOGGING_CATEGORY(lcAnnounce) // catalogd.announce
Q_DECLARE_LOGGING_CATEGORY(lcAccess)   // catalogd.access: one line per request
Q_DECLARE_LOGGING_CATEGORY(lcServer)   // catalogd: refusals, failures, limits reached

namespace Log {

// Routes Qt's messages as above; every line is flushed at once.
void install();

} // namespace Log
