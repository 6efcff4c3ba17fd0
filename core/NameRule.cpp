#include "core/NameRule.h"

namespace tavrel {

bool isRefusedInName(QChar c)
{
    const char16_t u = c.unicode();
    return c.category() == QChar::Other_Control || u == 0x061C || u == 0x200E || u == 0x200F ||
           (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) ||
           (u >= 0x200B && u <= 0x200D) || u == 0x2060 || u == 0xFEFF || u == 0x2028 || u == 0x2029;
}

bool isAcceptableName(QStringView name)
{
    for (const QChar c : name) {
        if (isRefusedInName(c))
            return false;
    }
    return true;
}

QString storedName(const QString &name)
{
    return name.normalized(QString::NormalizationForm_C);
}

} // namespace tavrel
