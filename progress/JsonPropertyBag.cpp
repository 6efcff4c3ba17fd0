#include "progress/JsonPropertyBag.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QSaveFile>

namespace {

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

bool JsonPropertyBag::load(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
        return false;
    }
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        setError(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return false;
    }
    if (!loadFromData(data, error)) {
        if (error)
            *error = path + QStringLiteral(": ") + *error;
        return false;
    }
    return true;
}

bool JsonPropertyBag::loadFromData(const QByteArray &data, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        setError(error, QStringLiteral("not valid JSON at offset %1: %2")
                            .arg(parseError.offset)
                            .arg(parseError.errorString()));
        return false;
    }
    if (!doc.isObject()) {
        setError(error, QStringLiteral("the property bag must be a JSON object"));
        return false;
    }
    // Keys are matched without regard to case, so they are kept in lower case.
    QJsonObject lowered;
    const QJsonObject source = doc.object();
    for (auto it = source.begin(); it != source.end(); ++it)
        lowered.insert(normaliseKey(it.key()), it.value());
    m_object = lowered;
    return true;
}

QByteArray JsonPropertyBag::toJson() const
{
    return QJsonDocument(m_object).toJson(QJsonDocument::Indented);
}

bool JsonPropertyBag::save(const QString &path, QString *error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        setError(error, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    const QByteArray data = toJson();
    if (file.write(data) != data.size() || !file.commit()) {
        setError(error, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

std::optional<QVariant> JsonPropertyBag::storedValue(const QString &key) const
{
    const auto it = m_object.constFind(key);
    if (it == m_object.constEnd())
        return std::nullopt;
    // JSON null stands for a value that cannot be read.
    return it.value().toVariant();
}

void JsonPropertyBag::store(const QString &key, const QVariant &value)
{
    m_object.insert(key, QJsonValue::fromVariant(value));
}

void JsonPropertyBag::erase(const QString &key)
{
    m_object.remove(key);
}
