#include "stats/JsonValue.h"

#include <json/json.h>

namespace engine {

struct JsonValue::Impl {
    Json::Value value;
};

namespace {

Json::ValueType ToJsonType(JsonValue::Kind kind) {
    switch (kind) {
        case JsonValue::Kind::Object: return Json::objectValue;
        case JsonValue::Kind::Array: return Json::arrayValue;
        case JsonValue::Kind::Null: break;
    }
    return Json::nullValue;
}

}  // namespace

JsonValue::JsonValue(Kind kind) : m_impl(std::make_unique<Impl>()) { m_impl->value = Json::Value(ToJsonType(kind)); }

JsonValue::~JsonValue() = default;

JsonValue::JsonValue(const JsonValue& other) : m_impl(std::make_unique<Impl>(*other.m_impl)) {}

JsonValue& JsonValue::operator=(const JsonValue& other) {
    if (this != &other) m_impl = std::make_unique<Impl>(*other.m_impl);
    return *this;
}

// A moved-from value is left null but usable.
JsonValue::JsonValue(JsonValue&& other) : m_impl(std::make_unique<Impl>()) { m_impl.swap(other.m_impl); }

JsonValue& JsonValue::operator=(JsonValue&& other) {
    m_impl.swap(other.m_impl);
    return *this;
}

void JsonValue::Set(const std::string& name, const std::string& text) { m_impl->value[name] = Json::Value(text); }

void JsonValue::Set(const std::string& name, uint64_t number) {
    m_impl->value[name] = Json::Value(static_cast<Json::UInt64>(number));
}

void JsonValue::Set(const std::string& name, const JsonValue& value) { m_impl->value[name] = value.m_impl->value; }

bool JsonValue::Has(const std::string& name) const {
    return m_impl->value.isObject() && m_impl->value.isMember(name);
}

void JsonValue::Append(const JsonValue& value) { m_impl->value.append(value.m_impl->value); }

size_t JsonValue::Size() const { return m_impl->value.size(); }

bool JsonValue::IsNull() const { return m_impl->value.isNull(); }

std::string JsonValue::WriteFast() const {
    // The fast writer is the format the collection servers were built
    // against; the library marks it deprecated in favour of its builder.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::FastWriter writer;
    return writer.write(m_impl->value);
#pragma GCC diagnostic pop
}

}  // namespace engine
