#pragma once

#include "platform/Services.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QWidget>

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

    // Text encodings between the server's UTF-8 and the window's text.
    static QString Utf8ToUnicode(const QByteArray &bytes);
    static QString GBtoUTF8(const QString &text);

    void Form_Load();

    // Fetches one catalog page and, when a reply arrived, shows its rows and record count and
    // returns its page count. A transfer that fails changes nothing and returns nothing.
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
    const QString &baseUrl() const { return BaseUrl; }
    const QString &listEndpoint() const { return ListEndpoint; }
    int currentPage() const { return CurrentPage; }
    bool adminLoggedIn() const { return AdminLoggedIn; }
    int selectedRow() const { return SelectedRow; }
    const QString &downloadUrl() const { return DownloadUrl; }
    const QString &downloadFolder() const { return DownloadFolder; }

private:
    enum class PageRule { FirstPage, PreviousPage, NextPage };

    // Fetches a URL into the reply buffer. On a transport failure the buffer is kept and the
    // reason is returned; nothing is shown.
    bool fetchReply(const QString &url, QString *error = nullptr);
    // Loads one page of a list and, when it arrived, makes it the list on show: rows, count
    // label, page state and paging buttons. A failed transfer changes nothing and, unless
    // quiet, tells the user the server could not be reached.
    bool loadList(const QString &endpoint, int page, const QString &pageQuery, PageRule rule,
                  bool quiet = false);
    void applyPageRule(PageRule rule, int pageCount);
    void applySkin();
    void showUnreachable(const QString &error);
    void setCountLabel(const QString &text);

    // Administrator helpers, shared by the twin handlers.
    void loadAdminList(int code);
    void moderateSelected(int code, const QString &prompt);
    // A credential request judged by the number the server answers. Nothing when there is no
    // judgement (no reply, or a reply that is not a number): the user has been told why.
    std::optional<double> credentialRequest(const QString &url, QString *replyText = nullptr);
    // False, after telling the user with `refusal`, when nobody is logged in.
    bool requireLogin(const QString &refusal);
    void inform(const QString &text, const QString &title);
    // The administrator password as typed in Text4, blanks around it removed.
    QString adminPassword() const;

    // A cell of the selected row, trimmed and passed through HaunCun_Text.
    QString readCellThroughBuffer(int column);
    // Back to idle: the bar hides and no fetch is followed any more.
    void endDownload();

    MainServices m_services;
    std::unique_ptr<Ui::Main> ui;
    CatalogList *m_list = nullptr;
    Downloader *Downloader1 = nullptr;

    // Page state shared by every list and administrator request.
    QString BaseUrl;
    QString ListEndpoint;
    int CurrentPage = 0;
    QByteArray ReplyBuffer;

    bool AdminLoggedIn = false;
    int SelectedRow = -1;
    QString DownloadUrl;
    QString DownloadFolder;
    QString m_currentSaveFile; // the fetch the bar follows; empty when idle
    QString m_currentItem;     // its title (or file name), for the failure box
};
