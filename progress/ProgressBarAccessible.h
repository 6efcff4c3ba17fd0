#pragma once

#include <QAccessibleWidget>

class ProgressBar;

// What assistive technology learns of a ProgressBar: a progress bar with its name, its value,
// minimum and maximum (read only), and its caption's percentage as the value's text. The bar
// registers the factory itself when the first one is made.
class ProgressBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit ProgressBarAccessible(ProgressBar *bar);

    static QAccessibleInterface *factory(const QString &className, QObject *object);

    void *interface_cast(QAccessible::InterfaceType type) override;
    QString text(QAccessible::Text t) const override;

    QVariant currentValue() const override;
    void setCurrentValue(const QVariant &value) override;
    QVariant maximumValue() const override;
    QVariant minimumValue() const override;
    QVariant minimumStepSize() const override;

private:
    ProgressBar *bar() const;
};
