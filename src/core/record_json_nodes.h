#pragma once

// The two views of a JSON value that the record readers of record_json.cpp
// are written over; not for use elsewhere.
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <simdjson.h>

#include <cmath>
#include <optional>

namespace recordjson::detail {

// The readers are written once, over a small view of a JSON value, and used
// with two parsers: simdjson for whole documents read from disk (start-up
// reads thousands of conversation files) and Qt's JSON values for the
// object-level entry points. Both views give the same answers for the same
// JSON, so the rules below hold whichever parser read the bytes.

// A view of one Qt JSON value.
class QtNode {
public:
    explicit QtNode(QJsonValue v) : m_v(std::move(v)) {}

    bool isObject() const { return m_v.isObject(); }
    bool isArray() const { return m_v.isArray(); }
    bool isString() const { return m_v.isString(); }
    bool isBool() const { return m_v.isBool(); }
    bool isNumber() const { return m_v.isDouble(); }
    bool isNull() const { return m_v.isNull(); }

    std::optional<QtNode> field(const char *key) const
    {
        const QJsonObject o = m_v.toObject();
        const auto it = o.constFind(QLatin1String(key));
        if (it == o.constEnd())
            return std::nullopt;
        return QtNode(it.value());
    }
    QString string() const { return m_v.toString(); }
    bool boolean() const { return m_v.toBool(); }
    double number() const { return m_v.toDouble(); }
    // Qt keeps every integral number that fits in 64 bits as an integer
    // (1e3 and 1000.0 included) and anything else as a double; toInteger()
    // returns its default for a number it cannot convert exactly, so two
    // different defaults tell 1.5 or 1e19 apart from a real value.
    std::optional<qint64> int64() const
    {
        if (!m_v.isDouble() || m_v.toInteger(0) != m_v.toInteger(1))
            return std::nullopt;
        return m_v.toInteger();
    }
    qsizetype size() const { return m_v.toArray().size(); }
    template <typename F>
    bool forEachElement(F f) const
    {
        const QJsonArray array = m_v.toArray();
        for (qsizetype i = 0; i < array.size(); ++i)
            if (!f(int(i), QtNode(array.at(i))))
                return false;
        return true;
    }
    template <typename F>
    bool forEachMember(F f) const
    {
        const QJsonObject o = m_v.toObject();
        for (auto it = o.constBegin(); it != o.constEnd(); ++it)
            if (!f(it.key(), QtNode(it.value())))
                return false;
        return true;
    }

private:
    QJsonValue m_v;
};

// A view of one simdjson value; valid while its parser lives.
class SimdNode {
public:
    explicit SimdNode(simdjson::dom::element e) : m_e(e) {}

    bool isObject() const { return m_e.type() == simdjson::dom::element_type::OBJECT; }
    bool isArray() const { return m_e.type() == simdjson::dom::element_type::ARRAY; }
    bool isString() const { return m_e.type() == simdjson::dom::element_type::STRING; }
    bool isBool() const { return m_e.type() == simdjson::dom::element_type::BOOL; }
    bool isNumber() const
    {
        const auto t = m_e.type();
        return t == simdjson::dom::element_type::INT64 || t == simdjson::dom::element_type::UINT64
               || t == simdjson::dom::element_type::DOUBLE;
    }
    bool isNull() const { return m_e.type() == simdjson::dom::element_type::NULL_VALUE; }

    // A key given more than once counts with its last value, as in Qt.
    std::optional<SimdNode> field(const char *key) const
    {
        simdjson::dom::object o;
        if (m_e.get_object().get(o))
            return std::nullopt;
        std::optional<SimdNode> found;
        for (auto [name, value] : o)
            if (name == key)
                found = SimdNode(value);
        return found;
    }
    QString string() const
    {
        std::string_view sv;
        if (m_e.get_string().get(sv))
            return {};
        return QString::fromUtf8(sv.data(), qsizetype(sv.size()));
    }
    bool boolean() const
    {
        bool b = false;
        return !m_e.get_bool().get(b) && b;
    }
    double number() const
    {
        switch (m_e.type()) {
        case simdjson::dom::element_type::INT64:
            return double(int64_t(m_e));
        case simdjson::dom::element_type::UINT64:
            return double(uint64_t(m_e));
        case simdjson::dom::element_type::DOUBLE:
            return double(m_e);
        default:
            return 0.0;
        }
    }
    // The same numbers as the Qt view: integers that fit, and integral
    // doubles within range (1e3, 1000.0).
    std::optional<qint64> int64() const
    {
        switch (m_e.type()) {
        case simdjson::dom::element_type::INT64:
            return qint64(int64_t(m_e));
        case simdjson::dom::element_type::DOUBLE: {
            const double d = double(m_e);
            if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
                return qint64(d);
            return std::nullopt;
        }
        default:
            return std::nullopt;
        }
    }
    qsizetype size() const
    {
        simdjson::dom::array a;
        return m_e.get_array().get(a) ? 0 : qsizetype(a.size());
    }
    template <typename F>
    bool forEachElement(F f) const
    {
        simdjson::dom::array a;
        if (m_e.get_array().get(a))
            return true;
        int i = 0;
        for (simdjson::dom::element child : a)
            if (!f(i++, SimdNode(child)))
                return false;
        return true;
    }
    template <typename F>
    bool forEachMember(F f) const
    {
        simdjson::dom::object o;
        if (m_e.get_object().get(o))
            return true;
        for (auto it = o.begin(); it != o.end(); ++it) {
            const std::string_view key = it.key();
            // only the last of a key given more than once, as in Qt
            bool again = false;
            for (auto later = it; !again && ++later != o.end();)
                again = later.key() == key;
            if (!again && !f(QString::fromUtf8(key.data(), qsizetype(key.size())), SimdNode(it.value())))
                return false;
        }
        return true;
    }

private:
    simdjson::dom::element m_e;
};

} // namespace recordjson::detail
