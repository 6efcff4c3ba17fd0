// The administrator's handlers: login, password and security code, the administration lists
// and the two moderation actions.

#include "Main.h"

#include "ui_Main.h"

#include "client/platform/CatalogList.h"
#include "core/Encoding.h"

#include <QLoggingCategory>

// Never log a URL, a box's input or an accepted reply here: the queries carry the password and
// the security code, and the reply to reading the code is the code.
Q_LOGGING_CATEGORY(lcAdmin, "tavrel.admin", QtInfoMsg)

using tavrel::AdminOperation;
using tavrel::AdminVerdict;

namespace {

// Looked up when shown, so that a translation installed at start-up applies.
QString tip()
{
    return Main::tr("提示");
}
QString congratulations()
{
    return Main::tr("恭喜");
}
QString confirmTitle()
{
    return Main::tr("确认操作");
}
QString wrongPassword()
{
    return Main::tr("管理员密码错误!");
}
QString notLoggedIn()
{
    return Main::tr("管理员登陆失败!");
}
// The two action buttons have always said it without the exclamation mark.
QString notLoggedInAction()
{
    return Main::tr("管理员登陆失败");
}

} // namespace

QString Main::adminPassword() const
{
    return tavrel::trimBlanks(ui->Text4->text());
}

void Main::inform(const QString &text, const QString &title)
{
    if (m_closing)
        return; // the window is going away with the program
    m_services.prompter->ask(text, title, Prompter::Buttons::Ok);
}

bool Main::requireLogin(const QString &refusal)
{
    if (m_session.adminLoggedIn())
        return true;
    inform(refusal, tip());
    return false;
}

bool Main::judged(const CatalogSession::Judgement &judgement, const char *request)
{
    if (!judgement.verdict) {
        if (!m_closing)
            qCWarning(lcAdmin).noquote() << request << "failed:" << judgement.error;
        showUnreachable(judgement.error);
        return false;
    }
    if (*judgement.verdict == AdminVerdict::Unreadable) {
        qCWarning(lcAdmin).noquote() << request << "failed: the reply is not a number,"
                                     << judgement.reply.size() << "characters";
        inform(tr("服务器的回复无法识别，什么都没有改变。"), tip());
        return false;
    }
    // A rejection is a number, never a secret; it tells a wrong password from a missing item.
    if (*judgement.verdict == AdminVerdict::Rejected)
        qCInfo(lcAdmin).noquote() << request << "rejected, the server answered"
                                  << judgement.reply.trimmed().left(20);
    return true;
}

void Main::Command7_Click()
{
    const CatalogSession::Judgement judgement = m_session.login(adminPassword());
    if (!judged(judgement, "login"))
        return;
    if (*judgement.verdict == AdminVerdict::Accepted) {
        // The accepted password stays in the box, unchangeable, for the rest of the run.
        ui->Text4->setEnabled(false);
        inform(tr("恭喜您已登陆成功!"), congratulations());
    } else {
        inform(wrongPassword(), tip());
    }
}

void Main::Command8_Click()
{
    // No login needed: knowing the old password is proof enough. Text4 is left as it is.
    const CatalogSession::Judgement judgement = m_session.changePassword(
        tavrel::trimBlanks(ui->Text3->text()), tavrel::trimBlanks(ui->Text2->text()));
    if (!judged(judgement, "password change"))
        return;
    if (*judgement.verdict == AdminVerdict::Accepted)
        inform(tr("密码已修改成功，请牢记密码!"), congratulations());
    else
        inform(wrongPassword(), tip());
}

void Main::Command11_Click()
{
    if (!requireLogin(notLoggedIn()))
        return;
    const CatalogSession::Judgement judgement = m_session.readSecurityCode(adminPassword());
    if (!judged(judgement, "reading the security code"))
        return;
    if (*judgement.verdict == AdminVerdict::Rejected) {
        inform(wrongPassword(), tip());
        return;
    }
    // The code is shown as sent, not as its value: leading zeros are part of it.
    ui->Text5->setText(judgement.reply);
}

void Main::Command12_Click()
{
    if (!requireLogin(notLoggedIn()))
        return;
    if (m_services.prompter->ask(tr("是否确定修改安全码?"), confirmTitle(),
                                 Prompter::Buttons::YesNoCancel) != Prompter::Answer::Yes)
        return;
    const CatalogSession::Judgement judgement =
        m_session.setSecurityCode(adminPassword(), tavrel::trimBlanks(ui->Text5->text()));
    if (!judged(judgement, "security code change"))
        return;
    if (*judgement.verdict == AdminVerdict::Accepted)
        inform(tr("安全码已修改，请牢记!"), congratulations());
    else
        inform(wrongPassword(), tip());
}

void Main::Command5_Click()
{
    loadAdminList(AdminOperation::ListAll);
}

void Main::Command6_Click()
{
    loadAdminList(AdminOperation::ListPending);
}

void Main::Command9_Click()
{
    moderateSelected(AdminOperation::Approve, tr("是否确定通过审核? 软件标题：%1"));
}

void Main::Command10_Click()
{
    moderateSelected(AdminOperation::Delete, tr("是否确定删除? 软件标题：%1"));
}

void Main::loadAdminList(AdminOperation list)
{
    if (!requireLogin(notLoggedIn()))
        return;
    ui->SoSo->setEnabled(true);
    // Whatever the server answers is shown as a page, a rejected password too.
    showList(m_session.openAdminList(list, adminPassword()));
}

void Main::moderateSelected(AdminOperation action, const QString &prompt)
{
    if (!requireLogin(notLoggedInAction()))
        return;
    // No selection yet, or a selection past the end of a list reloaded shorter: there is no
    // row whose title the user could confirm, so nothing may be sent.
    if (SelectedRow < 0 || SelectedRow >= m_list->rowCount()) {
        inform(tr("请先在列表中选择一个软件。"), tip());
        return;
    }
    // Both cells are read before asking, so the id sent belongs to the title confirmed.
    const QString title = tavrel::trimBlanks(m_list->cell(SelectedRow, 1));
    const QString id = tavrel::trimBlanks(m_list->cell(SelectedRow, 5));
    if (m_services.prompter->ask(prompt.arg(title), confirmTitle(),
                                 Prompter::Buttons::YesNoCancel) != Prompter::Answer::Yes)
        return;
    ui->HaunCun_Text->setText(id);

    const CatalogSession::Judgement judgement =
        m_session.moderate(action, adminPassword(), ui->HaunCun_Text->text());
    if (!judged(judgement, action == AdminOperation::Approve ? "approve" : "delete"))
        return;
    if (*judgement.verdict == AdminVerdict::Rejected) {
        inform(wrongPassword(), tip());
        return;
    }
    // Done: page 1 of whatever list is on show comes back.
    showList(m_session.reload());
}
