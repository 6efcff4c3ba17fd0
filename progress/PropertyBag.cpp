#include "progress/PropertyBag.h"

#include "core/Rounding.h"

#include <QMetaType>

#include <cmath>
#include <limits>

PropertyBag::~PropertyBag() = default;

namespace {

// A whole number within [lo, hi] from a stored number or numeric text.
std::optional<qint64> wholeNumber(const QVariant &v, qint64 lo, qint64 hi)
{
    double d = 0;
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        d = v.toDouble();
        break;
    case QMetaType::QString: {
        bool ok = false;
        d = v.toString().trimmed().toDouble(&ok);
        if (!ok)
            return std::nullopt;
        break;
    }
    default:
        return std::nullopt;
    }
    if (!std::isfinite(d) || d != std::floor(d) || d < double(lo) || d > double(hi))
        return std::nullopt;
    return qint64(d);
}

} // namespace

bool PropertyBag::contains(const QString &name) const
{
    return storedValue(normaliseKey(name)).has_value();
}

void PropertyBag::WriteProperty(const QString &name, const QVariant &value,
                                const QVariant &defaultValue)
{
    const QString key = normaliseKey(name);
    if (value == defaultValue) {
        erase(key);
        return;
    }
    if (value.typeId() == QMetaType::QFont)
        store(key, fontToMap(value.value<QFont>()));
    else
        store(key, value);
}

std::optional<qint32> PropertyBag::readLong(const QString &name, qint32 defaultValue) const
{
    const auto v = storedValue(normaliseKey(name));
    if (!v)
        return defaultValue;
    const auto n = wholeNumber(*v, std::numeric_limits<qint32>::min(),
                               std::numeric_limits<qint32>::max());
    if (!n)
        return std::nullopt;
    return qint32(*n);
}

std::optional<quint32> PropertyBag::readColour(const QString &name, quint32 defaultValue) const
{
    const auto v = storedValue(normaliseKey(name));
    if (!v)
        return defaultValue;
    // A colour may be kept as a signed number: the top bit set reads as a negative value.
    const auto n = wholeNumber(*v, std::numeric_limits<qint32>::min(),
                               std::numeric_limits<quint32>::max());
    if (!n)
        return std::nullopt;
    return quint32(*n);
}

std::optional<bool> PropertyBag::readBool(const QString &name, bool defaultValue) const
{
    const auto v = storedValue(normaliseKey(name));
    if (!v)
        return defaultValue;
    if (v->typeId() == QMetaType::Bool)
        return v->toBool();
    if (v->typeId() == QMetaType::QString) {
        const QString s = v->toString().trimmed().toLower();
        if (s == u"true")
            return true;
        if (s == u"false")
            return false;
    }
    // A number: 0 is false, anything else (-1 is the usual true) is true.
    const auto n = wholeNumber(*v, std::numeric_limits<qint32>::min(),
                               std::numeric_limits<qint32>::max());
    if (!n)
        return std::nullopt;
    return *n != 0;
}

std::optional<QString> PropertyBag::readString(const QString &name,
                                               const QString &defaultValue) const
{
    const auto v = storedValue(normaliseKey(name));
    if (!v)
        return defaultValue;
    switch (v->typeId()) {
    case QMetaType::QString:
        return v->toString();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return v->toString();
    default:
        return std::nullopt;
    }
}

std::optional<QFont> PropertyBag::readFont(const QString &name, const QFont &defaultValue) const
{
    const auto v = storedValue(normaliseKey(name));
    if (!v)
        return defaultValue;
    if (v->typeId() == QMetaType::QFont)
        return v->value<QFont>();
    if (v->typeId() == QMetaType::QVariantMap)
        return fontFromMap(v->toMap());
    return std::nullopt;
}

QVariantMap PropertyBag::fontToMap(const QFont &font)
{
    QStringList families = font.families();
    if (families.isEmpty())
        families << font.family();
    QVariantMap map;
    map.insert(QStringLiteral("name"), families.takeFirst());
    if (!families.isEmpty())
        map.insert(QStringLiteral("fallback"), families);
    // A font sized in pixels has no point size; it keeps its pixel size instead.
    if (font.pointSizeF() > 0)
        map.insert(QStringLiteral("size"), font.pointSizeF());
    else
        map.insert(QStringLiteral("pixelsize"), font.pixelSize());
    map.insert(QStringLiteral("weight"), int(font.weight()));
    map.insert(QStringLiteral("italic"), font.italic());
    map.insert(QStringLiteral("underline"), font.underline());
    map.insert(QStringLiteral("strikeout"), font.strikeOut());
    return map;
}

std::optional<QFont> PropertyBag::fontFromMap(const QVariantMap &map)
{
    const QVariant name = map.value(QStringLiteral("name"));
    if (name.typeId() != QMetaType::QString || name.toString().isEmpty())
        return std::nullopt;
    QStringList families{name.toString()};
    const QVariant fallback = map.value(QStringLiteral("fallback"));
    if (fallback.typeId() == QMetaType::QString) {
        families << fallback.toString();
    } else if (fallback.isValid()) {
        for (const QVariant &f : fallback.toList()) {
            if (f.typeId() != QMetaType::QString)
                return std::nullopt;
            families << f.toString();
        }
    }
    QFont font;
    font.setFamilies(families);

    bool ok = true;
    const QVariant size = map.value(QStringLiteral("size"));
    if (size.isValid()) {
        const double pt = size.toDouble(&ok);
        if (!ok || !std::isfinite(pt) || pt <= 0 || pt > 1000)
            return std::nullopt;
        font.setPointSizeF(pt);
    }
    const QVariant pixels = map.value(QStringLiteral("pixelsize"));
    if (pixels.isValid()) {
        const auto px = wholeNumber(pixels, 1, 10000);
        if (!px)
            return std::nullopt;
        font.setPixelSize(int(*px));
    }
    const QVariant weight = map.value(QStringLiteral("weight"));
    if (weight.isValid()) {
        const auto w = wholeNumber(weight, 1, 1000);
        if (!w)
            return std::nullopt;
        font.setWeight(QFont::Weight(int(*w)));
    }
    // A style that is present must be a true or false.
    const auto style = [&](const char *key, void (QFont::*set)(bool)) {
        const QVariant v = map.value(QLatin1String(key));
        if (!v.isValid())
            return true;
        if (v.typeId() != QMetaType::Bool)
            return false;
        (font.*set)(v.toBool());
        return true;
    };
    if (!style("italic", &QFont::setItalic) || !style("underline", &QFont::setUnderline)
        || !style("strikeout", &QFont::setStrikeOut))
        return std::nullopt;
    const QVariant bold = map.value(QStringLiteral("bold"));
    if (bold.isValid()) {
        if (bold.typeId() != QMetaType::Bool)
            return std::nullopt;
        if (bold.toBool())
            font.setBold(true);
    }
    return font;
}
