#pragma once

#include "Fakes.h"

#include "client/Main.h"
#include "client/platform/CatalogList.h"
#include "download/Downloader.h"
#include "download/NetworkFetchService.h"
#include "ui_Main.h"

#include <QDir>
#include <QTemporaryDir>

#include <chrono>
#include <memory>

// The window built the way the program builds it, but on stand-ins for boxes, the desktop and
// the start-up effects, in a temporary program folder. The transfer is a scripted fake unless a
// real one is given; downloads go through the real fetch service.
struct MainHarness
{
    struct Setup
    {
        QString baseUrl = QStringLiteral("http://catalog.test/adminphp/");
        Transfer *transfer = nullptr; // the scripted fake when null
        QString programFolder;        // the temporary folder when empty
        QString libraryRoot;          // the temporary folder's Res/ when empty
        bool makeFolders = false;     // the desktop really makes the folders it is asked for
        std::chrono::milliseconds downloadIdle{10000}; // before a silent download is resumed
    };

    explicit MainHarness(const Setup &setup)
    {
        services.transfer = setup.transfer ? setup.transfer : &fakeTransfer;
        services.prompter = &prompter;
        services.desktop = &desktop;
        services.effects = &effects;
        services.programFolder =
            setup.programFolder.isEmpty() ? folder.path() : setup.programFolder;
        services.libraryRoot = setup.libraryRoot.isEmpty() ? folder.path() + QStringLiteral("/Res/")
                                                           : setup.libraryRoot;
        services.baseUrl = setup.baseUrl;
        services.statisticsUrl = QStringLiteral("http://catalog.test/kovitongji.asp");
        services.makeFetchService = [this, setup] {
            auto service = std::make_unique<NetworkFetchService>();
            service->setIdleTimeout(setup.downloadIdle);
            fetchService = service.get();
            return service;
        };
        if (setup.makeFolders)
            desktop.realMakePath = [](const QString &path) { return QDir().mkpath(path); };
        window = std::make_unique<Main>(services);
        // Resumed downloads try again at once: a test waits for outcomes, not for clocks.
        window->downloader()->setRetryWaits(QList<std::chrono::milliseconds>(5, {}));
    }
    explicit MainHarness(const QString &baseUrl = QStringLiteral("http://catalog.test/adminphp/"),
                         Transfer *transfer = nullptr, const QString &programFolder = {})
        : MainHarness(Setup{baseUrl, transfer, programFolder, {}, false})
    {}

    Ui::Main &ui() const { return *window->form(); }
    CatalogList &list() const { return *window->listView(); }

    QTemporaryDir folder;
    FakeTransfer fakeTransfer;
    FakePrompter prompter;
    FakeDesktop desktop;
    FakeEffects effects;
    MainServices services;
    NetworkFetchService *fetchService = nullptr; // the window's, once made
    std::unique_ptr<Main> window;
};
