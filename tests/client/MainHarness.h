#pragma once

#include "Fakes.h"

#include "client/Main.h"
#include "client/platform/CatalogList.h"
#include "ui_Main.h"

#include <QTemporaryDir>

#include <memory>

// A window built on stand-ins, in a temporary program folder unless given one.
struct MainHarness
{
    explicit MainHarness(const QString &baseUrl = QStringLiteral("http://catalog.test/adminphp/"),
                         Transfer *transfer = nullptr, const QString &programFolder = {})
    {
        services.transfer = transfer ? transfer : &fakeTransfer;
        services.prompter = &prompter;
        services.desktop = &desktop;
        services.effects = &effects;
        services.programFolder = programFolder.isEmpty() ? folder.path() : programFolder;
        services.libraryRoot = folder.path() + QStringLiteral("/Res/");
        services.baseUrl = baseUrl;
        services.statisticsUrl = QStringLiteral("http://catalog.test/kovitongji.asp");
        window = std::make_unique<Main>(services);
    }

    Ui::Main &ui() const { return *window->form(); }
    CatalogList &list() const { return *window->listView(); }

    QTemporaryDir folder;
    FakeTransfer fakeTransfer;
    FakePrompter prompter;
    FakeDesktop desktop;
    FakeEffects effects;
    MainServices services;
    std::unique_ptr<Main> window;
};

// A catalog page as the list scripts send it.
inline QByteArray catalogPage(int rows, const QString &recordCount, int pageCount,
                              const QString &titlePrefix = QStringLiteral("标题"))
{
    QString text;
    for (int i = 0; i < rows; ++i) {
        const QStringList fields = {QStringLiteral("工具"),
                                    titlePrefix + QString::number(i),
                                    QStringLiteral("免费"),
                                    QStringLiteral("2026-12-01 10:00:00"),
                                    QStringLiteral("file%1.zip").arg(i),
                                    QString::number(100 + i)};
        text += fields.join(QChar(u'\x02')) + QChar(u'\x01');
    }
    text += QStringLiteral("?TtbBa?") + recordCount + QLatin1Char('?') + QString::number(pageCount);
    return text.toUtf8();
}
