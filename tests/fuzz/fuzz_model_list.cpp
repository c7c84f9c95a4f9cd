// The stored model list: read by simdjson as a whole and by Qt's values one
// model at a time; both must agree, and a list read must write and read back
// the same.
#include "core/record_json.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>

#include <cstdlib>
#include <simdjson.h>

namespace {

QJsonArray encoded(const QList<AIModel> &models)
{
    QJsonArray array;
    for (const AIModel &model : models)
        array.append(recordjson::encode(model).value_or(QJsonObject{{"unencodable", true}}));
    return array;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto fromSimdjson = recordjson::decodeModelList(bytes);

    QJsonParseError qtError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &qtError);
    simdjson::dom::parser parser;
    const bool simdjsonParses = parser.parse(data, size).error() == simdjson::SUCCESS;
    if (qtError.error == QJsonParseError::NoError && document.isArray() && simdjsonParses) {
        std::optional<QList<AIModel>> fromQt = QList<AIModel>{};
        for (const QJsonValue &value : document.array()) {
            const auto model = value.isObject() ? recordjson::decodeAIModel(value.toObject()) : std::nullopt;
            if (!model) {
                fromQt.reset();
                break;
            }
            fromQt->append(*model);
        }
        if (fromQt.has_value() != fromSimdjson.has_value() || (fromQt && encoded(*fromQt) != encoded(*fromSimdjson)))
            std::abort(); // the readers disagree
    }
    if (fromSimdjson) {
        const auto written = recordjson::encodeModelList(*fromSimdjson);
        if (!written)
            std::abort(); // read, but cannot be written
        const auto again = recordjson::decodeModelList(*written);
        if (!again || encoded(*again) != encoded(*fromSimdjson))
            std::abort(); // does not read back as written
    }
    return 0;
}
