// The stored model list: read by simdjson as a whole and by Qt's values one
// model at a time; both must agree, and a list read must write and read back
// the same.
#include "core/record_json.h"
#include "fuzz_common.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <simdjson.h>

// Every field of every model (models compare by id).
static QJsonArray encoded(const QList<AIModel> &models)
{
    QJsonArray array;
    for (const AIModel &model : models)
        array.append(recordjson::encode(model).value_or(QJsonObject{{"unencodable", true}}));
    return array;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = inputBytes(data, size);
    const auto fromSimdjson = recordjson::decodeModelList(bytes);

    QJsonParseError qtError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &qtError);
    simdjson::dom::parser parser;
    if (qtError.error == QJsonParseError::NoError && document.isArray()
        && parser.parse(data, size).error() == simdjson::SUCCESS) {
        std::optional<QList<AIModel>> fromQt = QList<AIModel>{};
        for (const QJsonValue &value : document.array()) {
            const auto model = value.isObject() ? recordjson::decodeAIModel(value.toObject()) : std::nullopt;
            if (!model) {
                fromQt.reset();
                break;
            }
            fromQt->append(*model);
        }
        require(fromQt.has_value() == fromSimdjson.has_value()
                && (!fromQt || encoded(*fromQt) == encoded(*fromSimdjson)));
    }
    // What is read can be written, and reads back as written.
    const auto written = fromSimdjson ? recordjson::encodeModelList(*fromSimdjson) : std::nullopt;
    const auto again = written ? recordjson::decodeModelList(*written) : std::nullopt;
    require(!fromSimdjson || (again && encoded(*again) == encoded(*fromSimdjson)));
    return 0;
}
