#pragma once
// Reads the TDS test server's event log: one JSON object per line. Only what the log
// holds is supported (objects, arrays, strings, numbers, true, false, null).

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pupdate::testing {

class JsonValue {
public:
    enum class Kind { Null, Boolean, Number, String, Array, Object };

    JsonValue() = default;
    static JsonValue parse(const std::string& text);

    Kind kind() const { return m_kind; }
    bool isNull() const { return m_kind == Kind::Null; }
    bool boolean() const;
    double number() const;
    const std::string& string() const;
    const std::vector<JsonValue>& array() const;
    // A member of an object; a null value when the member is missing.
    const JsonValue& operator[](const std::string& key) const;
    bool has(const std::string& key) const;
    // The value as text, for messages: strings as they are, the rest in JSON.
    std::string text() const;

private:
    friend class JsonParser;
    Kind m_kind = Kind::Null;
    bool m_boolean = false;
    double m_number = 0;
    std::string m_string;
    std::vector<JsonValue> m_array;
    std::shared_ptr<std::map<std::string, JsonValue>> m_object;
};

// Every line of a JSON-lines file, parsed; empty when the file does not exist.
std::vector<JsonValue> readJsonLines(const std::filesystem::path& file);

} // namespace pupdate::testing
