// The strict reader of json_check.h: a recursive descent over the text
// that stops at the first fault with its byte offset.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/json_check.h"

namespace {

class Reader {
public:
    explicit Reader(const std::string& text) : m_text(text) {}

    bool Document(JsonValue* out)
    {
        Blank();
        if (!Value(out, 0)) {
            return false;
        }
        Blank();
        return m_pos == m_text.size() || Fail("text after the document");
    }
    const std::string& Error() const { return m_error; }

private:
    static constexpr int kMaxDepth = 64;

    bool Fail(const std::string& why)
    {
        if (m_error.empty()) {
            m_error = "at byte " + std::to_string(m_pos) + ": " + why;
        }
        return false;
    }
    void Blank()
    {
        while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\n' ||
                                         m_text[m_pos] == '\r')) {
            ++m_pos;
        }
    }
    bool Word(const char* word)
    {
        const std::string w = word;
        if (m_text.compare(m_pos, w.size(), w) != 0) {
            return Fail("unknown word");
        }
        m_pos += w.size();
        return true;
    }
    bool Value(JsonValue* out, int depth)
    {
        if (depth > kMaxDepth) {
            return Fail("nested too deep");
        }
        if (m_pos >= m_text.size()) {
            return Fail("a value is missing");
        }
        const char c = m_text[m_pos];
        switch (c) {
        case '{': return Object(out, depth);
        case '[': return Array(out, depth);
        case '"': out->type = JsonValue::Type::kString; return String(&out->text);
        case 't': out->type = JsonValue::Type::kBool; out->boolean = true; return Word("true");
        case 'f': out->type = JsonValue::Type::kBool; out->boolean = false; return Word("false");
        case 'n': out->type = JsonValue::Type::kNull; return Word("null");
        default: return Number(out);
        }
    }
    bool At(char c) const { return m_pos < m_text.size() && m_text[m_pos] == c; }
    // The elements of an object or an array from its opening bracket to
    // close: none, or one or more split by ','.
    template <typename Element>
    bool Elements(char close, const Element& element)
    {
        ++m_pos;
        Blank();
        if (At(close)) {
            ++m_pos;
            return true;
        }
        for (;;) {
            Blank();
            if (!element()) {
                return false;
            }
            Blank();
            if (At(',')) {
                ++m_pos;
                continue;
            }
            if (At(close)) {
                ++m_pos;
                return true;
            }
            return Fail(std::string("',' or '") + close + "' is missing");
        }
    }
    bool Object(JsonValue* out, int depth)
    {
        out->type = JsonValue::Type::kObject;
        return Elements('}', [&] {
            std::string key;
            if (!At('"') || !String(&key)) {
                return Fail("a key is missing");
            }
            if (out->Get(key) != nullptr) {
                return Fail("key \"" + key + "\" twice");
            }
            Blank();
            if (!At(':')) {
                return Fail("':' is missing");
            }
            ++m_pos;
            Blank();
            JsonValue value;
            if (!Value(&value, depth + 1)) {
                return false;
            }
            out->members.emplace_back(key, std::move(value));
            return true;
        });
    }
    bool Array(JsonValue* out, int depth)
    {
        out->type = JsonValue::Type::kArray;
        return Elements(']', [&] {
            JsonValue value;
            if (!Value(&value, depth + 1)) {
                return false;
            }
            out->items.push_back(std::move(value));
            return true;
        });
    }
    bool Number(JsonValue* out)
    {
        const size_t start = m_pos;
        const auto digits = [&]() {
            const size_t from = m_pos;
            while (m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9') {
                ++m_pos;
            }
            return m_pos > from;
        };
        if (m_pos < m_text.size() && m_text[m_pos] == '-') {
            ++m_pos;
        }
        if (m_pos < m_text.size() && m_text[m_pos] == '0') {
            ++m_pos;
        } else if (!digits()) {
            return Fail("not a value");
        }
        if (m_pos < m_text.size() && m_text[m_pos] == '.') {
            ++m_pos;
            if (!digits()) {
                return Fail("digits missing after '.'");
            }
        }
        if (m_pos < m_text.size() && (m_text[m_pos] == 'e' || m_text[m_pos] == 'E')) {
            ++m_pos;
            if (m_pos < m_text.size() && (m_text[m_pos] == '+' || m_text[m_pos] == '-')) {
                ++m_pos;
            }
            if (!digits()) {
                return Fail("digits missing in the exponent");
            }
        }
        out->type = JsonValue::Type::kNumber;
        out->number = std::strtod(m_text.substr(start, m_pos - start).c_str(), nullptr);
        return true;
    }
    static void AppendUtf8(uint32_t cp, std::string* out)
    {
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xC0 | (cp >> 6));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += static_cast<char>(0xE0 | (cp >> 12));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (cp >> 18));
            *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool Hex4(uint32_t* value)
    {
        if (m_pos + 4 > m_text.size()) {
            return Fail("cut \\u escape");
        }
        *value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = m_text[m_pos++];
            *value <<= 4;
            if (c >= '0' && c <= '9') {
                *value |= static_cast<uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                *value |= static_cast<uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                *value |= static_cast<uint32_t>(c - 'A' + 10);
            } else {
                return Fail("bad \\u escape");
            }
        }
        return true;
    }
    // A well-formed UTF-8 sequence starting at m_pos, copied to out.
    bool Utf8(std::string* out)
    {
        const auto byte = [&](size_t i) { return static_cast<unsigned char>(m_text[i]); };
        const unsigned char lead = byte(m_pos);
        size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return Fail("not UTF-8");
        }
        if (m_pos + length > m_text.size() || byte(m_pos + 1) < low || byte(m_pos + 1) > high) {
            return Fail("not UTF-8");
        }
        for (size_t i = 2; i < length; ++i) {
            if (byte(m_pos + i) < 0x80 || byte(m_pos + i) > 0xBF) {
                return Fail("not UTF-8");
            }
        }
        out->append(m_text, m_pos, length);
        m_pos += length;
        return true;
    }
    bool String(std::string* out)
    {
        ++m_pos;  // the opening quote
        for (;;) {
            if (m_pos >= m_text.size()) {
                return Fail("string not ended");
            }
            const unsigned char c = static_cast<unsigned char>(m_text[m_pos]);
            if (c == '"') {
                ++m_pos;
                return true;
            }
            if (c < 0x20) {
                return Fail("raw control character in a string");
            }
            if (c >= 0x80) {
                if (!Utf8(out)) {
                    return false;
                }
                continue;
            }
            ++m_pos;
            if (c != '\\') {
                *out += static_cast<char>(c);
                continue;
            }
            if (m_pos >= m_text.size()) {
                return Fail("cut escape");
            }
            const char e = m_text[m_pos++];
            switch (e) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                uint32_t cp = 0;
                if (!Hex4(&cp)) {
                    return false;
                }
                if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return Fail("lone low surrogate");
                }
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t lowHalf = 0;
                    if (m_text.compare(m_pos, 2, "\\u") != 0) {
                        return Fail("lone high surrogate");
                    }
                    m_pos += 2;
                    if (!Hex4(&lowHalf) || lowHalf < 0xDC00 || lowHalf > 0xDFFF) {
                        return Fail("lone high surrogate");
                    }
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lowHalf - 0xDC00);
                }
                AppendUtf8(cp, out);
                break;
            }
            default: return Fail("unknown escape");
            }
        }
    }

    const std::string& m_text;
    size_t m_pos = 0;
    std::string m_error;
};

}  // namespace

const JsonValue* JsonValue::Get(const std::string& key) const
{
    for (const auto& member : members) {
        if (member.first == key) {
            return &member.second;
        }
    }
    return nullptr;
}

const JsonValue& JsonValue::operator[](const std::string& key) const
{
    static const JsonValue kMissing;
    const JsonValue* member = Get(key);
    return member != nullptr ? *member : kMissing;
}

bool ParseJson(const std::string& text, JsonValue* out, std::string* error)
{
    Reader reader(text);
    *out = JsonValue{};
    if (!reader.Document(out)) {
        *error = reader.Error();
        return false;
    }
    return true;
}

bool ParseJsonFile(const std::string& path, JsonValue* out, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseJson(text.str(), out, error);
}

