#pragma once

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include <functional>

// A popup menu as the user meets it: `open` makes it appear (a key or a click), and the item
// captioned `choice` is picked with the keyboard, or the menu is left with Esc when that item
// is missing or disabled. What the menu offered is kept for the test to look at.
struct PopupMenu
{
    QStringList texts;
    QStringList enabled;
    QString accessibleName;
    bool shown = false;

    PopupMenu(const std::function<void()> &open, const QString &choice)
    {
        // The menu runs its own event loop inside `open`; look for it from within that loop.
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            poll.stop();
            shown = true;
            accessibleName = menu->accessibleName();
            QAction *pick = nullptr;
            for (QAction *action : menu->actions()) {
                texts.append(action->text());
                if (action->isEnabled())
                    enabled.append(action->text());
                if (action->text() == choice && action->isEnabled())
                    pick = action;
            }
            if (pick) {
                menu->setActiveAction(pick);
                QTest::keyClick(menu, Qt::Key_Return);
            } else {
                QTest::keyClick(menu, Qt::Key_Escape);
            }
        });
        poll.start();
        open();
    }
};
