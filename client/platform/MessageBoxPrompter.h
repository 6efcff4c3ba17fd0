#pragma once

#include "client/platform/Services.h"

#include <QPointer>
#include <QWidget>

// The window's message boxes: modal, with the given text and title, OK, Yes/No/Cancel or Yes/No,
// and an icon only for errors.
class MessageBoxPrompter : public Prompter
{
public:
    explicit MessageBoxPrompter(QWidget *parent = nullptr);
    // For a window that is made after its prompter: boxes then open over it.
    void setParentWidget(QWidget *parent) { m_parent = parent; }

    // Closing the box without a button counts as Cancel, or as OK when OK is the only button.
    Answer ask(const QString &text, const QString &title, Buttons buttons,
               Icon icon = Icon::None) override;

private:
    QPointer<QWidget> m_parent;
};
