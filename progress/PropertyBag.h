#pragma once

#include <QFont>
#include <QSize>
#include <QString>
#include <QVariant>

#include <optional>

// The store of a control's saved settings. Keys match without regard to case and are
// kept in lower case. A read gives the stored value or, when the key is absent, the default
// passed with it; a write stores the value only when it differs from the default passed with
// it and otherwise leaves the key absent.
//
// The typed reads give nothing when the stored value cannot be read as that type, so the
// caller can keep its current value and go on with the next key.
class PropertyBag
{
public:
    virtual ~PropertyBag();

    static QString normaliseKey(const QString &name) { return name.toLower(); }

    bool contains(const QString &name) const;
    void WriteProperty(const QString &name, const QVariant &value, const QVariant &defaultValue);

    std::optional<qint32> readLong(const QString &name, qint32 defaultValue) const;
    std::optional<quint32> readColour(const QString &name, quint32 defaultValue) const;
    std::optional<bool> readBool(const QString &name, bool defaultValue) const;
    std::optional<QString> readString(const QString &name, const QString &defaultValue) const;
    std::optional<QFont> readFont(const QString &name, const QFont &defaultValue) const;

    // How a font is kept: family, fallback families, point (or pixel) size, weight and styles.
    static QVariantMap fontToMap(const QFont &font);
    static std::optional<QFont> fontFromMap(const QVariantMap &map);

protected:
    // Storage of the concrete bag; keys arrive in lower case.
    virtual std::optional<QVariant> storedValue(const QString &key) const = 0;
    virtual void store(const QString &key, const QVariant &value) = 0;
    virtual void erase(const QString &key) = 0;
};
