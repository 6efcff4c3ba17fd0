#pragma once

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include <initializer_list>

// The window's controls the administrator tests touch, found by their names in the form.
struct AdminForm
{
    explicit AdminForm(QWidget *window)
    {
        auto edit = [window](const char *name) {
            return window->findChild<QLineEdit *>(QLatin1StringView(name));
        };
        auto button = [window](const char *name) {
            return window->findChild<QPushButton *>(QLatin1StringView(name));
        };
        Text1 = edit("Text1");
        Text2 = edit("Text2");
        Text3 = edit("Text3");
        Text4 = edit("Text4");
        Text5 = edit("Text5");
        HaunCun_Text = edit("HaunCun_Text");
        Command5 = button("Command5");
        Command6 = button("Command6");
        Command7 = button("Command7");
        Command8 = button("Command8");
        Command9 = button("Command9");
        Command10 = button("Command10");
        Command11 = button("Command11");
        Command12 = button("Command12");
        SoSo = button("SoSo");
        Qian = button("Qian");
        Hou = button("Hou");
        Frame2 = window->findChild<QGroupBox *>(QStringLiteral("Frame2"));
        Frame3 = window->findChild<QGroupBox *>(QStringLiteral("Frame3"));
    }
    bool complete() const
    {
        const std::initializer_list<const QWidget *> all{
            Text1,    Text2,    Text3,    Text4,    Text5,     HaunCun_Text, Command5,
            Command6, Command7, Command8, Command9, Command10, Command11,    Command12,
            SoSo,     Qian,     Hou,      Frame2,   Frame3};
        for (const QWidget *w : all) {
            if (!w)
                return false;
        }
        return true;
    }

    QLineEdit *Text1, *Text2, *Text3, *Text4, *Text5, *HaunCun_Text;
    QPushButton *Command5, *Command6, *Command7, *Command8, *Command9, *Command10, *Command11,
        *Command12, *SoSo, *Qian, *Hou;
    QGroupBox *Frame2, *Frame3;
};
