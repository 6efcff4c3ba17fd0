#pragma once

#include "Catalog.h"
#include "Options.h"

// The one-shot commands (--export, --import, --backup, --audit): each does its work on the
// store and returns the exit status. None cleans the spool, takes the spool lock, makes
// credentials or fills the demo, so they may run beside a catalogd that serves.
int runCommand(const ServerOptions &options, const CatalogStore &store);
