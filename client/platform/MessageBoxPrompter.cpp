#include "client/platform/MessageBoxPrompter.h"

#include <QAbstractButton>
#include <QMessageBox>

MessageBoxPrompter::MessageBoxPrompter(QWidget *parent) : m_parent(parent) {}

Prompter::Answer MessageBoxPrompter::ask(const QString &text, const QString &title, Buttons buttons,
                                         Icon icon)
{
    const bool question = buttons != Buttons::Ok;
    QMessageBox::StandardButtons shown = QMessageBox::Ok;
    if (buttons == Buttons::YesNoCancel)
        shown = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    else if (buttons == Buttons::YesNo)
        shown = QMessageBox::Yes | QMessageBox::No;
    QMessageBox box(icon == Icon::Critical ? QMessageBox::Critical : QMessageBox::NoIcon, title,
                    text, shown, m_parent);
    // Texts can carry server replies and file names: show them as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    if (question) {
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(buttons == Buttons::YesNo ? QMessageBox::No : QMessageBox::Cancel);
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
        if (!question)
            return Answer::Ok;
        return buttons == Buttons::YesNo ? Answer::No : Answer::Cancel;
    }
}
