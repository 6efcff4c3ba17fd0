#pragma once

#include <QObject>

class QWidget;

// Keeps keyboard focus on what the user can see. The window lays some controls beyond its
// first size (the administrator's, to the right and below); while a control cannot be seen it
// leaves the tab chain, and when a larger window shows it, it takes back its own focus policy
// and so its place in the chain. A control counts as seen when a piece of it at least
// kMinimumSeen pixels square (or all of it, if smaller) lies inside the window and inside every
// frame around it: some of the window's buttons stick out of their frames by design.
class FocusInView : public QObject
{
public:
    static constexpr int kMinimumSeen = 12;

    // Watches window's size from now on; the watcher is a child of window.
    static void watch(QWidget *window);

    // Whether enough of widget can be seen inside its window.
    static bool isInView(const QWidget *widget);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit FocusInView(QWidget *window);
    void update();

    QWidget *m_window;
};
