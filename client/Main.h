#pragma once

#include "client/CatalogSession.h"
#include "client/ItemLibrary.h"
#include "client/platform/Services.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

namespace Ui {
class Main;
}
class CatalogList;
class Downloader;
class ProgressBar;

// The program's only window: the catalogue lists, paging and search, the item download flow
// and the administrator's actions. Every user action is one handler, run to its end on the
// user-interface thread.
class Main : public QWidget
{
    Q_OBJECT

public:
    explicit Main(MainServices services, QWidget *parent = nullptr);
    ~Main() override;

    // Text encodings between the server's UTF-8 and the window's text. Public interface of the
    // window: the window itself decodes every reply through the same function, and builds its
    // queries with the escaping encodeQueryValue, which keeps GBtoUTF8's form for every
    // character but the few ASCII ones that would break a query.
    static QString Utf8ToUnicode(const QByteArray &bytes);
    static QString GBtoUTF8(const QString &text);

    void Form_Load();

    // Fetches one catalog page and, when a reply arrived, shows its rows and record count and
    // returns its page count. A transfer that fails changes nothing and returns nothing. The page
    // state and the paging buttons are the caller's.
    std::optional<int> LoadCatalogPage(const QString &url, QString *error = nullptr);

    // Lists (latest, recommended), paging and search.
    void Command1_Click();
    void Command2_Click();
    void Qian_Click();
    void Hou_Click();
    void SoSo_Click();

    // Downloads and the two desktop buttons.
    void ListView_RowSelected(int row);
    void ListView_RowActivated();
    void Command3_Click();
    void Command4_Click();
    void Downloader1_DownloadProgress(qint64 CurBytes, qint64 MaxBytes, const QString &SaveFile);
    void Downloader1_DownloadError(const QString &SaveFile, const QString &Reason);
    void Downloader1_DownloadComplete(qint64 MaxBytes, const QString &SaveFile);
    void Downloader1_DownloadAllComplete(const QStringList &FileNotDownload);
    // Esc on the window or a click on the bar while a download runs: asks, and cancels on Yes.
    void askCancelDownload();

    // The library: a row's menu (right click, the Menu key) and its three actions.
    void ListView_RowMenu(int row, const QPoint &globalPos);
    void openItemFolder(int row);
    void removeDownloaded(int row);
    void downloadAgain(int row);

    // The administrator: login and credentials, moderation lists and actions.
    void Command7_Click();
    void Command8_Click();
    void Command11_Click();
    void Command12_Click();
    void Command5_Click();
    void Command6_Click();
    void Command9_Click();
    void Command10_Click();

    // Read-only views of the window's state, for the program's checks and tests.
    Ui::Main *form() const { return ui.get(); }
    CatalogList *listView() const { return m_list; }
    Downloader *downloader() const { return Downloader1; }
    ProgressBar *progressBar() const;
    const QString &baseUrl() const { return m_session.baseUrl(); }
    const QString &listEndpoint() const { return m_session.listEndpoint(); }
    int currentPage() const { return m_session.currentPage(); }
    bool adminLoggedIn() const { return m_session.adminLoggedIn(); }
    int selectedRow() const { return SelectedRow; }
    const QString &downloadUrl() const { return DownloadUrl; }
    const QString &downloadFolder() const { return DownloadFolder; }
    const ItemLibrary &library() const { return m_library; }

Q_SIGNALS:
    // The window has been painted for the first time.
    void firstPainted();
    // Start-up's requests are done: the latest list is on show, or it could not be had.
    void startUpFinished();

protected:
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The requests of start-up: the statistics visit, the chime, the latest list.
    void startUp();
    // Runs a user's action unless another one is running; download events that arrive while it
    // runs wait for its end (whenIdle), so no handler ever runs inside another.
    void handle(const std::function<void()> &action);
    void whenIdle(std::function<void()> event);

    // Shows a list that arrived: rows, count label and paging buttons. When none arrived nothing
    // changes and, unless quiet, the user is told the server could not be reached.
    void showList(CatalogSession::ListLoad load, bool quiet = false);
    void showPage(tavrel::CatalogPage page);
    void applySkin();
    void showUnreachable(const QString &error);
    void setCountLabel(const QString &text);

    // Administrator helpers, shared by the twin handlers.
    void loadAdminList(tavrel::AdminOperation list);
    void moderateSelected(tavrel::AdminOperation action, const QString &prompt);
    // True when the server judged the request; otherwise the user has been told why not (no
    // reply, or a reply that is not a number: guessing could log in or out on an error page).
    // Failures and rejections are logged under the request's name.
    bool judged(const CatalogSession::Judgement &judgement, const char *request);
    // False, after telling the user with `refusal`, when nobody is logged in.
    bool requireLogin(const QString &refusal);
    void inform(const QString &text, const QString &title);
    // The administrator password as typed in Text4, blanks around it removed.
    QString adminPassword() const;

    // A cell of the selected row, trimmed and passed through HaunCun_Text.
    QString readCellThroughBuffer(int column);
    // Why a file may not be written at saveFile: a symbolic link inside the library on its way.
    QString linkRefusal(const QString &saveFile) const;
    void updateProgressTip(qint64 CurBytes, qint64 MaxBytes);
    // A download that is not started: logged, and the user told why.
    void refuseDownload(const QString &why);
    // Back to idle: the bar hides and no fetch is followed any more.
    void endDownload();
    // A row's item as the library knows items: this server, its id, trimmed names and time.
    tavrel::RowItem rowItem(int row) const;
    // The marks follow the disk again: after an action, or when the user comes back.
    void refreshMarks();

    MainServices m_services;
    std::unique_ptr<Ui::Main> ui;
    CatalogList *m_list = nullptr;
    Downloader *Downloader1 = nullptr;

    // The page state, the reply buffer and the admin flag.
    CatalogSession m_session;
    ItemLibrary m_library;

    int SelectedRow = -1;
    QString DownloadUrl;
    QString DownloadFolder;
    QString m_currentSaveFile;        // the fetch the bar follows; empty when idle
    QString m_currentItem;            // its title (or file name), for the failure box
    QElapsedTimer m_downloadClock;    // since the download on show started
    qint64 m_downloadFirstBytes = -1; // bytes already there at its first progress
    qint64 m_lastTipAt = -1;          // when the bar's tooltip was last written, ms
    // What the library's record keeps of the download on show, once its file is in place.
    tavrel::LibraryEntry m_currentEntry;

    bool m_painted = false;          // the window has been on screen once
    bool m_startWhenPainted = false; // start-up's requests wait for that
    bool m_closing = false;          // boxes would find nobody to read them
    bool m_handling = false;         // a user's action is running
    QList<std::function<void()>> m_waitingEvents;
};
