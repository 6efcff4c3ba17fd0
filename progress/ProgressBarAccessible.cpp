#include "progress/ProgressBarAccessible.h"

#include "progress/ProgressBar.h"

#include <QLocale>

#include <algorithm>

ProgressBarAccessible::ProgressBarAccessible(ProgressBar *bar)
    : QAccessibleWidget(bar, QAccessible::ProgressBar)
{
}

QAccessibleInterface *ProgressBarAccessible::factory(const QString &className, QObject *object)
{
    if (className == QLatin1String("ProgressBar"))
        if (auto *bar = qobject_cast<ProgressBar *>(object))
            return new ProgressBarAccessible(bar);
    return nullptr;
}

ProgressBar *ProgressBarAccessible::bar() const
{
    return static_cast<ProgressBar *>(widget());
}

void *ProgressBarAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::ValueInterface)
        return static_cast<QAccessibleValueInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QString ProgressBarAccessible::text(QAccessible::Text t) const
{
    // The same share of the bar the caption shows, whatever the caption style.
    if (t == QAccessible::Value) {
        const double percent = double(bar()->Value()) * 100.0 / double(std::max(1, bar()->Max()));
        return ProgressBar::PercentText(percent, QLocale()) + QLatin1Char('%');
    }
    return QAccessibleWidget::text(t);
}

QVariant ProgressBarAccessible::currentValue() const
{
    return bar()->Value();
}

void ProgressBarAccessible::setCurrentValue(const QVariant &)
{
    // The bar shows progress; nobody but its window moves it.
}

QVariant ProgressBarAccessible::maximumValue() const
{
    return bar()->Max();
}

QVariant ProgressBarAccessible::minimumValue() const
{
    return bar()->Min();
}

QVariant ProgressBarAccessible::minimumStepSize() const
{
    return 0;
}
