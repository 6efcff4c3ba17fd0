#pragma once

#include "Catalog.h"
#include "HttpServer.h"
#include "core/AdminOperation.h"

#include <QString>

// The catalogue's routes: the two list scripts, the administration script, item files, the
// upload page and the statistics page.
class CatalogService
{
public:
    struct Settings
    {
        QString upDir;   // item files
        QString tempDir; // uploads being written
        int pageSize = 20;
        qint64 maxUploadSize = 64 * 1024 * 1024;
    };

    CatalogService(Catalog *catalog, Settings settings);

    HttpResponse handle(const HttpRequest &request);

private:
    HttpResponse listPage(const HttpRequest &request, Catalog::List list);
    HttpResponse examine(const HttpRequest &request);
    HttpResponse changePassword(const QString &next);
    HttpResponse changeSecurityCode(const QString &next);
    HttpResponse moderate(tavrel::AdminOperation operation, const QString &idText);
    HttpResponse itemFile(const HttpRequest &request, const QString &name);
    HttpResponse uploadForm();
    HttpResponse upload(const HttpRequest &request);
    HttpResponse statistics();

    QString uniqueFileName(const QString &wanted);

    Catalog *m_catalog;
    Settings m_settings;
};
