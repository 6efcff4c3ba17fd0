#include "client/CatalogSession.h"

#include "core/Encoding.h"
#include "core/Endpoints.h"
#include "core/ItemPaths.h"

using namespace tavrel;

namespace {

const QString latestEndpoint = endpoint::LatestList + QLatin1Char('?');
const QString recommendedEndpoint = endpoint::RecommendedList + QLatin1Char('?');
const QString firstPageQuery = QStringLiteral("page=1");

QString pageQuery(int page)
{
    return QStringLiteral("page=") + QString::number(page);
}

} // namespace

CatalogSession::CatalogSession(Transfer *transfer) : m_transfer(transfer) {}

void CatalogSession::begin(const QString &baseUrl)
{
    BaseUrl = baseUrl;
    ListEndpoint.clear();
    CurrentPage = 0;
    AdminLoggedIn = false;
}

CatalogSession::PagingButtons CatalogSession::pagingButtons(PageRule rule, int currentPage,
                                                            int pageCount)
{
    PagingButtons buttons;
    if (pageCount <= 1)
        return buttons;
    switch (rule) {
    case PageRule::FirstPage:
        buttons.next = true;
        break;
    case PageRule::PreviousPage:
        buttons.previous = currentPage != 1;
        buttons.next = true;
        break;
    case PageRule::NextPage:
        buttons.previous = true;
        buttons.next = currentPage != pageCount;
        break;
    }
    return buttons;
}

bool CatalogSession::fetchReply(const QString &url, QString *error)
{
    FetchResult result = m_transfer->fetch(url);
    if (!result.ok) {
        *error = result.error;
        return false;
    }
    ReplyBuffer = std::move(result.body);
    return true;
}

CatalogSession::PageFetch CatalogSession::fetchPage(const QString &url)
{
    PageFetch fetch;
    if (fetchReply(url, &fetch.error))
        fetch.page = parseCatalogPage(ReplyBuffer);
    return fetch;
}

CatalogSession::ListLoad CatalogSession::loadList(const QString &endpoint, int page,
                                                  const QString &pageQuery, PageRule rule)
{
    ListLoad load;
    PageFetch fetch = fetchPage(BaseUrl + endpoint + pageQuery);
    if (!fetch.page) {
        load.error = fetch.error;
        return load;
    }
    ListEndpoint = endpoint;
    CurrentPage = page;
    load.buttons = pagingButtons(rule, page, fetch.page->pageCount);
    load.page = std::move(fetch.page);
    return load;
}

CatalogSession::ListLoad CatalogSession::openLatest()
{
    return loadList(latestEndpoint, 1, firstPageQuery, PageRule::FirstPage);
}

CatalogSession::ListLoad CatalogSession::openLatestAtStart()
{
    ListLoad load = openLatest();
    ListEndpoint = latestEndpoint;
    CurrentPage = 1;
    return load;
}

CatalogSession::ListLoad CatalogSession::openRecommended()
{
    return loadList(recommendedEndpoint, 1, firstPageQuery, PageRule::FirstPage);
}

CatalogSession::ListLoad CatalogSession::openAdminList(AdminOperation list, const QString &password)
{
    return loadList(adminQuery(list, password) + QLatin1Char('&'), 1, firstPageQuery,
                    PageRule::FirstPage);
}

CatalogSession::ListLoad CatalogSession::previousPage()
{
    return loadList(ListEndpoint, CurrentPage - 1, pageQuery(CurrentPage - 1),
                    PageRule::PreviousPage);
}

CatalogSession::ListLoad CatalogSession::nextPage()
{
    return loadList(ListEndpoint, CurrentPage + 1, pageQuery(CurrentPage + 1), PageRule::NextPage);
}

CatalogSession::ListLoad CatalogSession::search(const QString &text)
{
    return loadList(ListEndpoint, 1, QStringLiteral("page=1&q=") + encodeQueryValue(text),
                    PageRule::FirstPage);
}

CatalogSession::ListLoad CatalogSession::reload()
{
    return loadList(ListEndpoint, 1, firstPageQuery, PageRule::FirstPage);
}

CatalogSession::Judgement CatalogSession::judge(AdminOperation operation, const QString &query)
{
    Judgement judgement;
    if (!fetchReply(BaseUrl + query, &judgement.error))
        return judgement; // the reply buffer holds an older answer; it says nothing here
    judgement.reply = utf8ToUnicode(ReplyBuffer);
    judgement.verdict = judgeAdminReply(operation, judgement.reply);
    return judgement;
}

CatalogSession::Judgement CatalogSession::login(const QString &password)
{
    Judgement j =
        judge(AdminOperation::CheckPassword, adminQuery(AdminOperation::CheckPassword, password));
    if (j.verdict && *j.verdict != AdminVerdict::Unreadable)
        AdminLoggedIn = *j.verdict == AdminVerdict::Accepted;
    return j;
}

CatalogSession::Judgement CatalogSession::changePassword(const QString &oldPassword,
                                                         const QString &newPassword)
{
    Judgement j = judge(AdminOperation::ChangePassword,
                        adminQuery(AdminOperation::ChangePassword, oldPassword) +
                            queryParameter(u"topass", newPassword));
    if (j.verdict && *j.verdict != AdminVerdict::Unreadable)
        AdminLoggedIn = *j.verdict == AdminVerdict::Accepted;
    return j;
}

CatalogSession::Judgement CatalogSession::readSecurityCode(const QString &password)
{
    return judge(AdminOperation::ReadSecurityCode,
                 adminQuery(AdminOperation::ReadSecurityCode, password));
}

CatalogSession::Judgement CatalogSession::setSecurityCode(const QString &password,
                                                          const QString &code)
{
    return judge(AdminOperation::SetSecurityCode,
                 adminQuery(AdminOperation::SetSecurityCode, password) +
                     queryParameter(u"topass", code));
}

CatalogSession::Judgement CatalogSession::moderate(AdminOperation action, const QString &password,
                                                   const QString &id)
{
    Judgement j = judge(action, adminQuery(action, password) + queryParameter(u"id", id));
    if (j.verdict == AdminVerdict::Rejected)
        AdminLoggedIn = false;
    return j;
}

QString CatalogSession::itemUrl(const QString &fileName) const
{
    return tavrel::itemUrl(BaseUrl, fileName);
}

QString CatalogSession::uploadPageUrl() const
{
    return BaseUrl + endpoint::UploadPage;
}
