#pragma once

#include <QChar>
#include <QList>
#include <QString>

// Names and whether the rule for names takes them, as rows for the client's tests and the
// server's alike. None holds a separator or a dot part: only the characters decide.
struct NameRow
{
    const char *tag;
    QString name;
    bool accepted;
};

inline QList<NameRow> nameRows()
{
    const auto with = [](char16_t c) {
        return QStringLiteral("a") + QChar(c) + QStringLiteral("b.zip");
    };
    return {
        {"plain", QStringLiteral("tool-1.2.zip"), true},
        {"chinese", QStringLiteral("系统补丁.zip"), true},
        {"blank", QStringLiteral("read me.txt"), true},
        {"composed accent", QStringLiteral("caf\u00e9.txt"), true},
        {"combining accent", QStringLiteral("cafe\u0301.txt"), true},
        {"right-to-left letters", QStringLiteral("\u0645\u0644\u0641.zip"), true},
        {"outside the BMP", QStringLiteral("\U0001F600.zip"), true},
        {"no-break space", with(0x00A0), true},
        {"NUL", with(0x0000), false},
        {"tab", with(0x0009), false},
        {"line feed", with(0x000A), false},
        {"escape", with(0x001B), false},
        {"DEL", with(0x007F), false},
        {"C1 next line", with(0x0085), false},
        {"C1 control sequence introducer", with(0x009B), false},
        {"arabic letter mark", with(0x061C), false},
        {"left-to-right mark", with(0x200E), false},
        {"right-to-left mark", with(0x200F), false},
        {"left-to-right embedding", with(0x202A), false},
        {"right-to-left embedding", with(0x202B), false},
        {"pop directional formatting", with(0x202C), false},
        {"left-to-right override", with(0x202D), false},
        // "\u202Egpj.exe" shows as "exe.jpg"
        {"right-to-left override", QStringLiteral("\u202Egpj.exe"), false},
        {"left-to-right isolate", with(0x2066), false},
        {"right-to-left isolate", with(0x2067), false},
        {"first strong isolate", with(0x2068), false},
        {"pop directional isolate", with(0x2069), false},
        {"zero-width space", with(0x200B), false},
        {"zero-width non-joiner", with(0x200C), false},
        {"zero-width joiner", with(0x200D), false},
        {"word joiner", with(0x2060), false},
        {"byte order mark", with(0xFEFF), false},
        {"line separator", with(0x2028), false},
        {"paragraph separator", with(0x2029), false},
    };
}
