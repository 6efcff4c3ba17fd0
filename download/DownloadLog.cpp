#include "download/DownloadLog.h"

// Failures warn and resumes and cancellations inform without configuration; the progress of a
// fetch is debug output.
Q_LOGGING_CATEGORY(lcDownload, "tavrel.download", QtInfoMsg)
