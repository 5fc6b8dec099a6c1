// The JSON writer: string escaping byte by byte, and documents that a strict
// reader takes back value for value.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "common/json_check.h"
#include "support/json_writer.h"

namespace {

TEST(JsonWriter, QuoteEscapesAndReplaces)
{
    const struct {
        const char* what;
        std::string text;
        std::string quoted;
    } cases[] = {
        {"plain", "run.json", "\"run.json\""},
        {"quote and backslash", "C:\\dumps\\\"a\".bin", "\"C:\\\\dumps\\\\\\\"a\\\".bin\""},
        {"named controls", "\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {"other controls and NUL", std::string("a\0b\x01\x1f", 5), "\"a\\u0000b\\u0001\\u001F\""},
        {"DEL needs no escape", "\x7f", "\"\x7f\""},
        {"two-, three- and four-byte UTF-8", "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\""},
        {"stray continuation byte", "a\x80z", "\"a\\uFFFDz\""},
        {"sequence cut at the end", "a\xC3", "\"a\\uFFFD\""},
        {"sequence cut by an ASCII byte", "\xE2\x82z", "\"\\uFFFD\\uFFFDz\""},
        {"overlong slash", "\xC0\xAF", "\"\\uFFFD\\uFFFD\""},
        {"overlong three-byte form", "\xE0\x80\xAF", "\"\\uFFFD\\uFFFD\\uFFFD\""},
        {"surrogate", "\xED\xA0\x80", "\"\\uFFFD\\uFFFD\\uFFFD\""},
        {"above U+10FFFF", "\xF4\x90\x80\x80", "\"\\uFFFD\\uFFFD\\uFFFD\\uFFFD\""},
        {"Latin-1 file name", "d\xFCmp.bin", "\"d\\uFFFDmp.bin\""},
    };
    for (const auto& c : cases) {
        const std::string quoted = JsonWriter::Quote(c.text);
        EXPECT_EQ(quoted, c.quoted) << c.what;
        JsonValue back;
        std::string error;
        EXPECT_TRUE(ParseJson(quoted, &back, &error)) << c.what << ": " << error;
    }
}

TEST(JsonWriter, DocumentReadsBack)
{
    JsonWriter json;
    json.BeginObject();
    json.Key("name").String("line \"A\"\n");
    json.Key("empty_object").BeginObject().EndObject();
    json.Key("empty_array").BeginArray().EndArray();
    json.Key("numbers").BeginArray();
    json.Uint(std::numeric_limits<uint64_t>::max()).Int(-1).Number(2.5, 3).Number(std::nan(""), 1);
    json.Number(std::numeric_limits<double>::infinity(), 1);
    json.EndArray();
    json.Key("nested").BeginArray().BeginObject().Key("ok").Bool(true).Key("none").Null().EndObject();
    json.BeginObject().Key("ok").Bool(false).EndObject().EndArray();
    json.EndObject();

    const std::string& text = json.Text();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    JsonValue doc;
    std::string error;
    ASSERT_TRUE(ParseJson(text, &doc, &error)) << error << "\n" << text;
    EXPECT_EQ(doc["name"].text, "line \"A\"\n");
    EXPECT_EQ(doc["empty_object"].type, JsonValue::Type::kObject);
    EXPECT_TRUE(doc["empty_object"].members.empty());
    EXPECT_EQ(doc["empty_array"].type, JsonValue::Type::kArray);
    EXPECT_TRUE(doc["empty_array"].items.empty());
    const JsonValue& numbers = doc["numbers"];
    ASSERT_EQ(numbers.items.size(), 5u);
    EXPECT_NE(text.find("18446744073709551615"), std::string::npos) << text;
    EXPECT_EQ(numbers.items[1].number, -1);
    EXPECT_EQ(numbers.items[2].number, 2.5);
    EXPECT_TRUE(numbers.items[3].IsNull());  // JSON has no NaN
    EXPECT_TRUE(numbers.items[4].IsNull());
    const JsonValue& nested = doc["nested"];
    ASSERT_EQ(nested.items.size(), 2u);
    EXPECT_TRUE(nested.items[0]["ok"].boolean);
    EXPECT_TRUE(nested.items[0]["none"].IsNull());
    EXPECT_NE(nested.items[0].Get("none"), nullptr);
    EXPECT_FALSE(nested.items[1]["ok"].boolean);
}

}  // namespace
