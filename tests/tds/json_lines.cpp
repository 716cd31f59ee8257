#include "json_lines.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace pupdate::testing {

class JsonParser {
public:
    explicit JsonParser(const std::string& text) : m_text(text) {}

    JsonValue document() {
        JsonValue value = parseValue();
        skipBlanks();
        if (m_at != m_text.size()) {
            fail("trailing characters");
        }
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("JSON: " + what + " at " + std::to_string(m_at) +
                                 " in: " + m_text);
    }

    void skipBlanks() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                        m_text[m_at] == '\r' || m_text[m_at] == '\n')) {
            ++m_at;
        }
    }

    bool consume(char c) {
        skipBlanks();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }

    void expect(char c) {
        if (!consume(c)) {
            fail(std::string("expected '") + c + "'");
        }
    }

    bool literal(const char* word) {
        const std::string text(word);
        if (m_text.compare(m_at, text.size(), text) == 0) {
            m_at += text.size();
            return true;
        }
        return false;
    }

    JsonValue parseValue() {
        skipBlanks();
        if (m_at >= m_text.size()) {
            fail("unexpected end");
        }
        JsonValue value;
        const char c = m_text[m_at];
        if (c == '{') {
            ++m_at;
            value.m_kind = JsonValue::Kind::Object;
            value.m_object = std::make_shared<std::map<std::string, JsonValue>>();
            if (consume('}')) {
                return value;
            }
            do {
                skipBlanks();
                const std::string key = parseString();
                expect(':');
                (*value.m_object)[key] = parseValue();
            } while (consume(','));
            expect('}');
        } else if (c == '[') {
            ++m_at;
            value.m_kind = JsonValue::Kind::Array;
            if (consume(']')) {
                return value;
            }
            do {
                value.m_array.push_back(parseValue());
            } while (consume(','));
            expect(']');
        } else if (c == '"') {
            value.m_kind = JsonValue::Kind::String;
            value.m_string = parseString();
        } else if (literal("true")) {
            value.m_kind = JsonValue::Kind::Boolean;
            value.m_boolean = true;
        } else if (literal("false")) {
            value.m_kind = JsonValue::Kind::Boolean;
        } else if (literal("null")) {
            value.m_kind = JsonValue::Kind::Null;
        } else {
            const char* start = m_text.c_str() + m_at;
            char* end = nullptr;
            value.m_number = std::strtod(start, &end);
            if (end == start) {
                fail("unexpected character");
            }
            value.m_kind = JsonValue::Kind::Number;
            m_at += static_cast<std::size_t>(end - start);
        }
        return value;
    }

    unsigned hex4() {
        if (m_at + 4 > m_text.size()) {
            fail("short \\u escape");
        }
        const unsigned value = std::stoul(m_text.substr(m_at, 4), nullptr, 16);
        m_at += 4;
        return value;
    }

    static void appendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    std::string parseString() {
        if (m_at >= m_text.size() || m_text[m_at] != '"') {
            fail("expected a string");
        }
        ++m_at;
        std::string out;
        while (true) {
            if (m_at >= m_text.size()) {
                fail("unterminated string");
            }
            const char c = m_text[m_at++];
            if (c == '"') {
                return out;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_at >= m_text.size()) {
                fail("unterminated escape");
            }
            const char e = m_text[m_at++];
            switch (e) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u': {
                unsigned code = hex4();
                if (code >= 0xD800 && code < 0xDC00 && literal("\\u")) {
                    const unsigned low = hex4();
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
                appendUtf8(out, code);
                break;
            }
            default:
                out += e;
                break;
            }
        }
    }

    const std::string& m_text;
    std::size_t m_at = 0;
};

JsonValue JsonValue::parse(const std::string& text) {
    return JsonParser(text).document();
}

bool JsonValue::boolean() const {
    if (m_kind != Kind::Boolean) {
        throw std::runtime_error("JSON value is not a boolean: " + text());
    }
    return m_boolean;
}

double JsonValue::number() const {
    if (m_kind != Kind::Number) {
        throw std::runtime_error("JSON value is not a number: " + text());
    }
    return m_number;
}

const std::string& JsonValue::string() const {
    if (m_kind != Kind::String) {
        throw std::runtime_error("JSON value is not a string: " + text());
    }
    return m_string;
}

const std::vector<JsonValue>& JsonValue::array() const {
    if (m_kind != Kind::Array) {
        throw std::runtime_error("JSON value is not an array: " + text());
    }
    return m_array;
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
    static const JsonValue missing;
    if (m_kind != Kind::Object) {
        return missing;
    }
    const auto found = m_object->find(key);
    return found == m_object->end() ? missing : found->second;
}

bool JsonValue::has(const std::string& key) const {
    return m_kind == Kind::Object && m_object->count(key) != 0;
}

std::string JsonValue::text() const {
    switch (m_kind) {
    case Kind::Null:
        return "null";
    case Kind::Boolean:
        return m_boolean ? "true" : "false";
    case Kind::Number: {
        std::string shown = std::to_string(m_number);
        while (shown.find('.') != std::string::npos &&
               (shown.back() == '0' || shown.back() == '.')) {
            const bool dot = shown.back() == '.';
            shown.pop_back();
            if (dot) {
                break;
            }
        }
        return shown;
    }
    case Kind::String:
        return m_string;
    case Kind::Array: {
        std::string out = "[";
        for (const JsonValue& item : m_array) {
            out += (out.size() > 1 ? ", " : "") + item.text();
        }
        return out + "]";
    }
    case Kind::Object: {
        std::string out = "{";
        for (const auto& [key, item] : *m_object) {
            out += (out.size() > 1 ? ", " : "") + key + ": " + item.text();
        }
        return out + "}";
    }
    }
    return {};
}

std::vector<JsonValue> readJsonLines(const std::filesystem::path& file) {
    std::vector<JsonValue> values;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        // A line still being written has no line feed yet and would not parse.
        if (in.eof()) {
            break;
        }
        if (!line.empty()) {
            values.push_back(JsonValue::parse(line));
        }
    }
    return values;
}

} // namespace pupdate::testing
