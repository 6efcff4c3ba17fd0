#pragma once

#include "progress/PropertyBag.h"

#include <QByteArray>
#include <QJsonObject>

// A property bag kept as one JSON object, a key per property; a font is an object with its
// family, fallback families, size and styles. Loads from a file path or a resource path (":/...").
class JsonPropertyBag : public PropertyBag
{
public:
    JsonPropertyBag() = default;

    // On failure the bag keeps what it held and the reason goes to *error.
    bool load(const QString &path, QString *error = nullptr);
    bool loadFromData(const QByteArray &data, QString *error = nullptr);
    // Writes to a temporary file beside the target and renames it, so a failed save leaves the
    // old file whole.
    bool save(const QString &path, QString *error = nullptr) const;
    QByteArray toJson() const;

    const QJsonObject &object() const { return m_object; }
    void clear() { m_object = QJsonObject(); }

protected:
    std::optional<QVariant> storedValue(const QString &key) const override;
    void store(const QString &key, const QVariant &value) override;
    void erase(const QString &key) override;

private:
    QJsonObject m_object;
};
