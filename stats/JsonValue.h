#pragma once
// The statistics bodies' JSON values: objects, arrays, strings and unsigned
// numbers, written with the compact "fast" style (no spaces, one line feed at
// the end). A thin owner of the JSON library's value, whose headers stay inside
// JsonValue.cpp. Members of an object are written in ascending byte order of
// their names, whatever order they were set in. Not thread-safe; a value
// belongs to the thread that builds it.

#include <cstdint>
#include <memory>
#include <string>

namespace engine {

class JsonValue {
public:
    enum class Kind { Null, Object, Array };

    explicit JsonValue(Kind kind = Kind::Null);
    ~JsonValue();
    JsonValue(const JsonValue& other);
    JsonValue& operator=(const JsonValue& other);
    JsonValue(JsonValue&& other);
    JsonValue& operator=(JsonValue&& other);

    static JsonValue Object() { return JsonValue(Kind::Object); }
    static JsonValue Array() { return JsonValue(Kind::Array); }

    // Object members; setting a member of a null value makes it an object.
    void Set(const std::string& name, const std::string& text);
    void Set(const std::string& name, const char* text) { Set(name, std::string(text)); }
    void Set(const std::string& name, uint64_t number);
    void Set(const std::string& name, const JsonValue& value);
    bool Has(const std::string& name) const;
    // Array elements; appending to a null value makes it an array.
    void Append(const JsonValue& value);
    size_t Size() const;
    bool IsNull() const;

    // Compact text followed by "\n", as the bodies' readers expect it.
    std::string WriteFast() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace engine
