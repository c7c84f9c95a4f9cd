// A conversation file, read by both readers: simdjson over the whole document
// (start-up) and Qt's JSON values (the object-level entry points). Where both
// parsers take the bytes as JSON, the two readers must agree, and what they
// read must write and read back the same.
#include "core/record_json.h"

#include <QJsonDocument>
#include <QLoggingCategory>

#include <cstdlib>
#include <simdjson.h>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto fromSimdjson = recordjson::decodeSessionDocument(bytes);
    recordjson::decodeSessionList(bytes);

    QJsonParseError qtError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &qtError);
    simdjson::dom::parser parser;
    const bool simdjsonParses = parser.parse(data, size).error() == simdjson::SUCCESS;
    if (qtError.error == QJsonParseError::NoError && document.isObject() && simdjsonParses) {
        const auto fromQt = recordjson::decodeChatSession(document.object());
        if (fromQt.has_value() != fromSimdjson.has_value() || (fromQt && !(*fromQt == *fromSimdjson)))
            std::abort(); // the readers disagree
    }
    if (fromSimdjson) {
        const auto encoded = recordjson::encodeSessionDocument(*fromSimdjson);
        if (!encoded)
            std::abort(); // read, but cannot be written
        const auto again = recordjson::decodeSessionDocument(*encoded);
        if (!again || !(*again == *fromSimdjson))
            std::abort(); // does not read back as written
    }
    return 0;
}
