#include "client/platform/MessageBoxPrompter.h"

#include <QAbstractButton>
#include <QMessageBox>

MessageBoxPrompter::MessageBoxPrompter(QWidget *parent) : m_parent(parent) {}

Prompter::Answer MessageBoxPrompter::ask(const QString &text, const QString &title, Buttons buttons,
                                         Icon icon)
{
    const bool question = buttons == Buttons::YesNoCancel;
    QMessageBox box(
        icon == Icon::Critical ? QMessageBox::Critical : QMessageBox::NoIcon, title, text,
        question ? QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel : QMessageBox::Ok,
        m_parent);
    // Texts can carry server replies and file names: show them as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    if (question) {
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::Cancel);
    } else {
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
    box.exec();

    switch (box.standardButton(box.clickedButton())) {
    case QMessageBox::Yes:
        return Answer::Yes;
    case QMessageBox::No:
        return Answer::No;
    case QMessageBox::Ok:
        return Answer::Ok;
    default:
        // Closed from its title bar.
        return question ? Answer::Cancel : Answer::Ok;
    }
}
