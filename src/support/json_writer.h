// JSON text built value by value: the writer places the commas, the colons
// and the indentation, and escapes every string.
//
//   JsonWriter json;
//   json.BeginObject().Key("name").String("zolk_qex").Key("steps").BeginArray();
//   ...
//   json.EndArray().EndObject();
//   const std::string& text = json.Text();
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class JsonWriter {
public:
    JsonWriter() = default;

    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    // The name of the next value of the object being written.
    JsonWriter& Key(std::string_view name);
    JsonWriter& String(std::string_view text);
    JsonWriter& Uint(uint64_t value);
    JsonWriter& Int(int64_t value);
    // A number with this many decimals; NaN and the infinities, which JSON
    // has no words for, become null.
    JsonWriter& Number(double value, int decimals);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // The text so far; whole once every object and array has been ended
    // (ends with a line end).
    const std::string& Text() const { return m_text; }

    // text as a JSON string, quotes included. Bytes that are no valid UTF-8
    // (a file name in another encoding) become U+FFFD, so the document stays
    // valid JSON whatever the command line held.
    static std::string Quote(std::string_view text);

private:
    struct Level {
        bool object;
        bool empty = true;
    };
    void BeforeValue();
    void NewLine();
    JsonWriter& Close(char bracket);

    std::string m_text;
    std::vector<Level> m_levels;
    bool m_afterKey = false;
};
