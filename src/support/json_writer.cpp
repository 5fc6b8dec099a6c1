#include "support/json_writer.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr int kIndent = 2;

// Length of the well-formed UTF-8 sequence at text[pos], or 0 when the bytes
// there are none (a stray continuation byte, a cut sequence, an overlong
// form, a surrogate, or a code point above U+10FFFF).
size_t Utf8SequenceLength(std::string_view text, size_t pos)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    size_t length = 0;
    unsigned char low = 0x80;   // bounds of the second byte
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;  // overlong below
        } else if (lead == 0xED) {
            high = 0x9F;  // surrogates above
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;  // nothing above U+10FFFF
        }
    } else {
        return 0;
    }
    if (pos + length > text.size()) {
        return 0;
    }
    if (byte(pos + 1) < low || byte(pos + 1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (byte(pos + i) < 0x80 || byte(pos + i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string JsonWriter::Quote(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (size_t pos = 0; pos < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[pos]);
        switch (c) {
        case '"': out += "\\\""; ++pos; continue;
        case '\\': out += "\\\\"; ++pos; continue;
        case '\b': out += "\\b"; ++pos; continue;
        case '\f': out += "\\f"; ++pos; continue;
        case '\n': out += "\\n"; ++pos; continue;
        case '\r': out += "\\r"; ++pos; continue;
        case '\t': out += "\\t"; ++pos; continue;
        default: break;
        }
        if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", c);
            out += escaped;
            ++pos;
            continue;
        }
        const size_t length = Utf8SequenceLength(text, pos);
        if (length == 0) {
            out += "\\uFFFD";
            ++pos;
            continue;
        }
        out.append(text.substr(pos, length));
        pos += length;
    }
    out += '"';
    return out;
}

void JsonWriter::NewLine()
{
    m_text += '\n';
    m_text.append(m_levels.size() * kIndent, ' ');
}

void JsonWriter::BeforeValue()
{
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_levels.empty()) {
        if (!m_levels.back().empty) {
            m_text += ',';
        }
        m_levels.back().empty = false;
        NewLine();
    }
}

JsonWriter& JsonWriter::BeginObject()
{
    BeforeValue();
    m_text += '{';
    m_levels.push_back(Level{true});
    return *this;
}

JsonWriter& JsonWriter::BeginArray()
{
    BeforeValue();
    m_text += '[';
    m_levels.push_back(Level{false});
    return *this;
}

JsonWriter& JsonWriter::Close(char bracket)
{
    if (m_levels.empty()) {
        return *this;
    }
    const bool empty = m_levels.back().empty;
    m_levels.pop_back();
    if (!empty) {
        NewLine();
    }
    m_text += bracket;
    if (m_levels.empty()) {
        m_text += '\n';
    }
    return *this;
}

JsonWriter& JsonWriter::EndObject()
{
    return Close('}');
}

JsonWriter& JsonWriter::EndArray()
{
    return Close(']');
}

JsonWriter& JsonWriter::Key(std::string_view name)
{
    BeforeValue();
    m_text += Quote(name);
    m_text += ": ";
    m_afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view text)
{
    BeforeValue();
    m_text += Quote(text);
    return *this;
}

JsonWriter& JsonWriter::Uint(uint64_t value)
{
    BeforeValue();
    m_text += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Int(int64_t value)
{
    BeforeValue();
    m_text += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Number(double value, int decimals)
{
    if (!std::isfinite(value)) {
        return Null();
    }
    BeforeValue();
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    m_text += text;
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value)
{
    BeforeValue();
    m_text += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null()
{
    BeforeValue();
    m_text += "null";
    return *this;
}
