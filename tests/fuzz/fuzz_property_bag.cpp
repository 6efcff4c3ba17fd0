// The progress bar's property bag: any file either loads or is refused with a reason; what
// loads reads typed values without failing and saves to JSON that loads back the same.
#include "FuzzCheck.h"
#include "progress/JsonPropertyBag.h"

#include <QFont>
#include <QGuiApplication>

#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv); // fonts need one
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    JsonPropertyBag bag;
    QString error;
    if (!bag.loadFromData(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)),
                          &error)) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    for (const QString &key : bag.object().keys()) {
        bag.readLong(key, 0);
        bag.readColour(key, 0);
        bag.readBool(key, false);
        bag.readString(key, QString());
        bag.readFont(key, QFont());
    }
    const QByteArray saved = bag.toJson();
    JsonPropertyBag again;
    FUZZ_CHECK(again.loadFromData(saved));
    FUZZ_CHECK(again.toJson() == saved);
    return 0;
}
