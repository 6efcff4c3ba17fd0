#pragma once

#include "Catalog.h"
#include "Options.h"

// Exit statuses: a bad option value, and a database or port that cannot be used.
constexpr int BadUsage = 2;
constexpr int CannotServe = 1;

// Logs why catalogd stops and gives back the status to exit with.
int failure(int status, const QString &message);

// The one-shot commands (--export, --import, --backup, --audit): each does its work on the
// store and returns the exit status. None cleans the spool, takes the spool lock, makes
// credentials or fills the demo, so they may run beside a catalogd that serves.
int runCommand(const ServerOptions &options, const CatalogStore &store);
