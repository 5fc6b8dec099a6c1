// A strict JSON reader and a checker for the part of JSON Schema that
// docs/report.schema.json uses, so that tests can hold a document the
// program wrote against the schema it promises.
//
//   JsonValue doc;
//   std::string error;
//   ASSERT_TRUE(ParseJson(text, &doc, &error)) << error;
//   EXPECT_EQ(ValidateJson(doc, schema), std::vector<std::string>{});
#pragma once

#include <string>
#include <utility>
#include <vector>

struct JsonValue {
    enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
    Type type = Type::kNull;
    bool boolean = false;
    double number = 0;
    std::string text;                                      // a string's value
    std::vector<JsonValue> items;                          // an array's values
    std::vector<std::pair<std::string, JsonValue>> members;  // an object's, in order

    // The member of an object, or null when there is none.
    const JsonValue* Get(const std::string& key) const;
    const JsonValue& operator[](const std::string& key) const;  // a null value when missing
    bool IsNull() const { return type == Type::kNull; }
};

// One JSON document (RFC 8259): no trailing text, no duplicate keys, strings
// of well-formed UTF-8 without raw control characters. False with the place
// and reason in *error otherwise.
bool ParseJson(const std::string& text, JsonValue* out, std::string* error);
// ParseJson of a whole file; a file that cannot be read is an error too.
bool ParseJsonFile(const std::string& path, JsonValue* out, std::string* error);

// What in value breaks schema, one line per problem with its path
// ("$.steps[2].result: \"done\" is not in the enum"); empty when nothing
// does. Keywords: type (a name or a list), enum, required, properties,
// additionalProperties (false), items; all others are descriptions.
std::vector<std::string> ValidateJson(const JsonValue& value, const JsonValue& schema);

// docs/report.schema.json of the source tree, read with a test failure
// when it does not.
JsonValue ReadReportSchema();
