// A conversation file, read by both readers: simdjson over the whole document
// (start-up) and Qt's JSON values (the object-level entry points). Where both
// parsers take the bytes as JSON, the two readers must agree, and what they
// read must write and read back the same.
#include "core/record_json.h"
#include "fuzz_common.h"

#include <QJsonDocument>

#include <simdjson.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = inputBytes(data, size);
    const auto fromSimdjson = recordjson::decodeSessionDocument(bytes);
    recordjson::decodeSessionList(bytes);

    QJsonParseError qtError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &qtError);
    simdjson::dom::parser parser;
    if (qtError.error == QJsonParseError::NoError && document.isObject()
        && parser.parse(data, size).error() == simdjson::SUCCESS) {
        const auto fromQt = recordjson::decodeChatSession(document.object());
        require(fromQt.has_value() == fromSimdjson.has_value() && (!fromQt || *fromQt == *fromSimdjson));
    }
    // What is read can be written, and reads back as written.
    const auto encoded = fromSimdjson ? recordjson::encodeSessionDocument(*fromSimdjson) : std::nullopt;
    require(!fromSimdjson || (encoded && recordjson::decodeSessionDocument(*encoded) == fromSimdjson));
    return 0;
}
