// The administrator's handlers: login, password and security code, the administration lists
// and the two moderation actions.

#include "Main.h"

#include "Encoding.h"
#include "ui_Main.h"

#include "client/platform/CatalogList.h"

#include <QLoggingCategory>

#include <cmath>

// Never log a URL or a box's input here: the queries carry the password and security code.
Q_LOGGING_CATEGORY(lcAdmin, "tavrel.admin")

namespace {

const QString tip = QStringLiteral("提示");
const QString congratulations = QStringLiteral("恭喜");
const QString confirmTitle = QStringLiteral("确认操作");
const QString wrongPassword = QStringLiteral("管理员密码错误!");
const QString notLoggedIn = QStringLiteral("管理员登陆失败!");
// The two action buttons have always said it without the exclamation mark.
const QString notLoggedInAction = QStringLiteral("管理员登陆失败");
const QString unreadableReply = QStringLiteral("服务器的回复无法识别，什么都没有改变。");
const QString noSelection = QStringLiteral("请先在列表中选择一个软件。");

// The query of one operation of the administration script, the password escaped so that "&",
// "#", "+", "%" or blanks in it reach the server as part of it.
QString adminQuery(int code, const QString &password)
{
    return QStringLiteral("to_examine.php?cz=%1&pass=").arg(code) +
           tavrel::encodeQueryValue(password);
}

// The server judges an administrator request with a number: "0", "00", "0.0" and " 0 " are all
// zero. An empty body or an error page is no judgement at all.
std::optional<double> readJudgement(const QString &reply)
{
    bool ok = false;
    const double value = reply.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace

QString Main::adminPassword() const
{
    return tavrel::trimBlanks(ui->Text4->text());
}

void Main::inform(const QString &text, const QString &title)
{
    m_services.prompter->ask(text, title, Prompter::Buttons::Ok);
}

bool Main::requireLogin(const QString &refusal)
{
    if (AdminLoggedIn)
        return true;
    inform(refusal, tip);
    return false;
}

std::optional<double> Main::credentialRequest(const QString &url, QString *replyText)
{
    QString error;
    if (!fetchReply(url, &error)) {
        qCDebug(lcAdmin) << "credential request failed:" << error;
        showUnreachable(error);
        return std::nullopt;
    }
    const QString text = Utf8ToUnicode(ReplyBuffer);
    const std::optional<double> judgement = readJudgement(text);
    if (!judgement) {
        // Guessing here could log the administrator in or out on an error page.
        qCDebug(lcAdmin) << "credential reply is not a number," << text.size() << "characters";
        inform(unreadableReply, tip);
        return std::nullopt;
    }
    if (replyText)
        *replyText = text;
    return judgement;
}

void Main::Command7_Click()
{
    const std::optional<double> judgement =
        credentialRequest(BaseUrl + adminQuery(0, adminPassword()));
    if (!judgement)
        return;
    if (*judgement == 0) {
        AdminLoggedIn = true;
        // The accepted password stays in the box, unchangeable, for the rest of the run.
        ui->Text4->setEnabled(false);
        inform(QStringLiteral("恭喜您已登陆成功!"), congratulations);
    } else {
        AdminLoggedIn = false;
        inform(wrongPassword, tip);
    }
}

void Main::Command8_Click()
{
    // No login needed: knowing the old password is proof enough. Text4 is left as it is.
    const QString oldPassword = tavrel::trimBlanks(ui->Text3->text());
    const QString newPassword = tavrel::trimBlanks(ui->Text2->text());
    const std::optional<double> judgement =
        credentialRequest(BaseUrl + adminQuery(1, oldPassword) + QStringLiteral("&topass=") +
                          tavrel::encodeQueryValue(newPassword));
    if (!judgement)
        return;
    AdminLoggedIn = *judgement == 0;
    if (AdminLoggedIn)
        inform(QStringLiteral("密码已修改成功，请牢记密码!"), congratulations);
    else
        inform(wrongPassword, tip);
}

void Main::Command11_Click()
{
    if (!requireLogin(notLoggedIn))
        return;
    QString reply;
    const std::optional<double> judgement =
        credentialRequest(BaseUrl + adminQuery(6, adminPassword()), &reply);
    if (!judgement)
        return;
    if (*judgement == 1) {
        inform(wrongPassword, tip);
        return;
    }
    // The code is shown as sent, not as its value: leading zeros are part of it.
    ui->Text5->setText(reply);
}

void Main::Command12_Click()
{
    if (!requireLogin(notLoggedIn))
        return;
    if (m_services.prompter->ask(QStringLiteral("是否确定修改安全码?"), confirmTitle,
                                 Prompter::Buttons::YesNoCancel) != Prompter::Answer::Yes)
        return;
    const QString code = tavrel::trimBlanks(ui->Text5->text());
    const std::optional<double> judgement =
        credentialRequest(BaseUrl + adminQuery(7, adminPassword()) + QStringLiteral("&topass=") +
                          tavrel::encodeQueryValue(code));
    if (!judgement)
        return;
    if (*judgement == 0)
        inform(QStringLiteral("安全码已修改，请牢记!"), congratulations);
    else
        inform(wrongPassword, tip);
}

void Main::Command5_Click()
{
    loadAdminList(2);
}

void Main::Command6_Click()
{
    loadAdminList(3);
}

void Main::Command9_Click()
{
    moderateSelected(4, QStringLiteral("是否确定通过审核? 软件标题："));
}

void Main::Command10_Click()
{
    moderateSelected(5, QStringLiteral("是否确定删除? 软件标题："));
}

void Main::loadAdminList(int code)
{
    if (!requireLogin(notLoggedIn))
        return;
    ui->SoSo->setEnabled(true);
    // The password is frozen into the endpoint: paging, search and the reload after an action
    // go on sending it even if Text4 changes. Whatever the server answers is shown as a page.
    loadList(adminQuery(code, adminPassword()) + QLatin1Char('&'), 1, QStringLiteral("page=1"),
             PageRule::FirstPage);
}

void Main::moderateSelected(int code, const QString &prompt)
{
    if (!requireLogin(notLoggedInAction))
        return;
    // No selection yet, or a selection past the end of a list reloaded shorter: there is no
    // row whose title the user could confirm, so nothing may be sent.
    if (SelectedRow < 0 || SelectedRow >= m_list->rowCount()) {
        inform(noSelection, tip);
        return;
    }
    // Both cells are read before asking, so the id sent belongs to the title confirmed.
    const QString title = tavrel::trimBlanks(m_list->cell(SelectedRow, 1));
    const QString id = tavrel::trimBlanks(m_list->cell(SelectedRow, 5));
    if (m_services.prompter->ask(prompt + title, confirmTitle, Prompter::Buttons::YesNoCancel) !=
        Prompter::Answer::Yes)
        return;
    ui->HaunCun_Text->setText(id);

    QString error;
    if (!fetchReply(BaseUrl + adminQuery(code, adminPassword()) + QStringLiteral("&id=") +
                        tavrel::encodeQueryValue(ui->HaunCun_Text->text()),
                    &error)) {
        // The reply buffer still holds an older answer; it says nothing about this action.
        qCDebug(lcAdmin) << "moderation request" << code << "failed:" << error;
        showUnreachable(error);
        return;
    }
    const std::optional<double> judgement = readJudgement(Utf8ToUnicode(ReplyBuffer));
    if (judgement && *judgement != 0) {
        AdminLoggedIn = false;
        inform(wrongPassword, tip);
        return;
    }
    // Done. A reply that is no number counts as done too: the server may answer with a page
    // or nothing at all after acting. Page 1 of whatever list is on show comes back.
    loadList(ListEndpoint, 1, QStringLiteral("page=1"), PageRule::FirstPage);
}
