#include "FocusInView.h"

#include <QApplication>
#include <QEvent>
#include <QVariant>
#include <QWidget>

#include <algorithm>

namespace {

// A control out of view keeps the focus policy it had in this property, until it is seen.
constexpr char kPolicyInView[] = "tavrelFocusPolicyInView";

} // namespace

void FocusInView::watch(QWidget *window)
{
    auto *watcher = new FocusInView(window);
    window->installEventFilter(watcher);
    watcher->update();
}

FocusInView::FocusInView(QWidget *window) : QObject(window), m_window(window) {}

bool FocusInView::isInView(const QWidget *widget)
{
    const QWidget *window = widget->window();
    QRect seen(widget->mapTo(window, QPoint(0, 0)), widget->size());
    seen &= window->rect();
    for (const QWidget *frame = widget->parentWidget(); frame && frame != window;
         frame = frame->parentWidget())
        seen &= QRect(frame->mapTo(window, QPoint(0, 0)), frame->size());
    return seen.width() >= std::min(kMinimumSeen, widget->width()) &&
           seen.height() >= std::min(kMinimumSeen, widget->height()) && !seen.isEmpty();
}

bool FocusInView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
        update();
    return QObject::eventFilter(watched, event);
}

void FocusInView::update()
{
    const QList<QWidget *> widgets = m_window->findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        const QVariant taken = widget->property(kPolicyInView);
        if (!taken.isValid() && widget->focusPolicy() == Qt::NoFocus)
            continue;
        const bool inView = isInView(widget);
        if (inView && taken.isValid()) {
            widget->setFocusPolicy(Qt::FocusPolicy(taken.toInt()));
            widget->setProperty(kPolicyInView, QVariant());
        } else if (!inView && !taken.isValid()) {
            widget->setProperty(kPolicyInView, int(widget->focusPolicy()));
            widget->setFocusPolicy(Qt::NoFocus);
        }
    }

    // A smaller window may have hidden the control that had the focus: pass it on.
    QWidget *focused = m_window->focusWidget();
    if (!focused || !focused->property(kPolicyInView).isValid())
        return;
    for (QWidget *next = focused->nextInFocusChain(); next != focused;
         next = next->nextInFocusChain()) {
        if (next->window() == m_window && (next->focusPolicy() & Qt::TabFocus) &&
            next->isVisible() && next->isEnabled()) {
            next->setFocus(Qt::TabFocusReason);
            return;
        }
    }
    focused->clearFocus();
}
