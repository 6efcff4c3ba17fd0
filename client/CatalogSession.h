#pragma once

#include "client/platform/Services.h"
#include "core/AdminOperation.h"
#include "core/CatalogPage.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The window's conversation with the catalog server: the page state that every list and
// administrator request shares, the admin flag, every URL the window sends, and the fetch
// through the transfer. It shows nothing and asks nothing: each call returns what arrived and
// the window shows it.
//
// The page state moves only when a reply arrives: a transfer that fails leaves the list on
// show, its endpoint, its page and the admin flag as they were.
class CatalogSession
{
public:
    explicit CatalogSession(Transfer *transfer);

    // Starts over against a catalog server whose scripts live under baseUrl (ends with "/"):
    // no list yet, nobody logged in.
    void begin(const QString &baseUrl);

    // How the paging buttons follow the page count of a reply.
    enum class PageRule { FirstPage, PreviousPage, NextPage };
    struct PagingButtons
    {
        bool previous = false;
        bool next = false;
        friend bool operator==(const PagingButtons &, const PagingButtons &) = default;
    };
    static PagingButtons pagingButtons(PageRule rule, int currentPage, int pageCount);

    // One catalog page fetched from a complete URL: the page when a reply arrived (an error
    // page too, read as a page without trailer), otherwise the reason.
    struct PageFetch
    {
        std::optional<tavrel::CatalogPage> page;
        QString error;
    };
    PageFetch fetchPage(const QString &url);

    // A list request. When the reply arrived its list is the one on show and `buttons` says how
    // the paging buttons stand; otherwise nothing changed and `error` says why.
    struct ListLoad
    {
        std::optional<tavrel::CatalogPage> page;
        PagingButtons buttons;
        QString error;
    };
    ListLoad openLatest();
    // The latest list at start-up: its endpoint and page 1 are set even when no reply comes,
    // so paging, search and a reload after an approve or a delete always name a script.
    ListLoad openLatestAtStart();
    ListLoad openRecommended();
    // ListAll or ListPending. The password is frozen into the endpoint: paging, search and the
    // reload after an action go on sending it.
    ListLoad openAdminList(tavrel::AdminOperation list, const QString &password);
    ListLoad previousPage();
    ListLoad nextPage();
    // Page 1 of the list on show, searched for text (blanks around it are not the session's
    // business); the text is not remembered.
    ListLoad search(const QString &text);
    // Page 1 of the list on show again, as after an approve or a delete.
    ListLoad reload();

    // An administrator request and the server's judgement of it. No verdict when no reply
    // arrived (`error` says why); `reply` is the reply's text as decoded.
    struct Judgement
    {
        std::optional<tavrel::AdminVerdict> verdict;
        QString reply;
        QString error;
    };
    // Accepted logs in, Rejected logs out.
    Judgement login(const QString &password);
    // Accepted logs in, Rejected logs out; no login needed first.
    Judgement changePassword(const QString &oldPassword, const QString &newPassword);
    // Accepted: the reply is the code. The admin flag stays.
    Judgement readSecurityCode(const QString &password);
    Judgement setSecurityCode(const QString &password, const QString &code);
    // Approve or Delete of the item `id`. Rejected logs out.
    Judgement moderate(tavrel::AdminOperation action, const QString &password, const QString &id);

    // Where an item's file and the upload page are.
    QString itemUrl(const QString &fileName) const;
    QString uploadPageUrl() const;

    const QString &baseUrl() const { return BaseUrl; }
    const QString &listEndpoint() const { return ListEndpoint; }
    int currentPage() const { return CurrentPage; }
    bool adminLoggedIn() const { return AdminLoggedIn; }

private:
    ListLoad loadList(const QString &endpoint, int page, const QString &pageQuery, PageRule rule);
    Judgement judge(tavrel::AdminOperation operation, const QString &query);
    // Fetches into the reply buffer; false, with the reason, when no reply arrived.
    bool fetchReply(const QString &url, QString *error);

    Transfer *m_transfer;

    QString BaseUrl;
    QString ListEndpoint; // script and query prefix of the list on show, ends with "?" or "&"
    int CurrentPage = 0;
    QByteArray ReplyBuffer; // body of the last request of any kind that was answered
    bool AdminLoggedIn = false;
};
