#include "common/json_check.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

const char* TypeName(const JsonValue& v)
{
    switch (v.type) {
    case JsonValue::Type::kNull: return "null";
    case JsonValue::Type::kBool: return "boolean";
    case JsonValue::Type::kNumber:
        return std::isfinite(v.number) && std::floor(v.number) == v.number ? "integer" : "number";
    case JsonValue::Type::kString: return "string";
    case JsonValue::Type::kArray: return "array";
    case JsonValue::Type::kObject: return "object";
    }
    return "null";
}

bool HasType(const JsonValue& v, const std::string& name)
{
    const std::string actual = TypeName(v);
    return actual == name || (name == "number" && actual == "integer");
}

bool Equal(const JsonValue& a, const JsonValue& b)
{
    if (a.type != b.type) {
        return false;
    }
    switch (a.type) {
    case JsonValue::Type::kNull: return true;
    case JsonValue::Type::kBool: return a.boolean == b.boolean;
    case JsonValue::Type::kNumber: return a.number == b.number;
    case JsonValue::Type::kString: return a.text == b.text;
    default: return false;  // the schema's enums list plain values only
    }
}

std::string Shown(const JsonValue& v)
{
    switch (v.type) {
    case JsonValue::Type::kString: return "\"" + v.text + "\"";
    case JsonValue::Type::kNumber: return std::to_string(v.number);
    default: return TypeName(v);
    }
}

void Validate(const JsonValue& value, const JsonValue& schema, const std::string& path, std::vector<std::string>* out)
{
    if (const JsonValue* type = schema.Get("type")) {
        bool ok = false;
        if (type->type == JsonValue::Type::kString) {
            ok = HasType(value, type->text);
        } else {
            for (const JsonValue& name : type->items) {
                ok = ok || HasType(value, name.text);
            }
        }
        if (!ok) {
            out->push_back(path + ": " + TypeName(value) + " is not of the type the schema names");
            return;
        }
    }
    if (const JsonValue* options = schema.Get("enum")) {
        bool found = false;
        for (const JsonValue& option : options->items) {
            found = found || Equal(value, option);
        }
        if (!found) {
            out->push_back(path + ": " + Shown(value) + " is not in the enum");
        }
    }
    if (value.type == JsonValue::Type::kObject) {
        if (const JsonValue* required = schema.Get("required")) {
            for (const JsonValue& name : required->items) {
                if (value.Get(name.text) == nullptr) {
                    out->push_back(path + ": \"" + name.text + "\" is missing");
                }
            }
        }
        const JsonValue* properties = schema.Get("properties");
        const JsonValue* additional = schema.Get("additionalProperties");
        const bool closed = additional != nullptr && additional->type == JsonValue::Type::kBool && !additional->boolean;
        for (const auto& [key, member] : value.members) {
            const JsonValue* sub = properties != nullptr ? properties->Get(key) : nullptr;
            if (sub != nullptr) {
                Validate(member, *sub, path + "." + key, out);
            } else if (closed) {
                out->push_back(path + ": \"" + key + "\" is not in the schema");
            }
        }
    }
    if (value.type == JsonValue::Type::kArray) {
        if (const JsonValue* items = schema.Get("items")) {
            for (size_t i = 0; i < value.items.size(); ++i) {
                Validate(value.items[i], *items, path + "[" + std::to_string(i) + "]", out);
            }
        }
    }
}

}  // namespace

std::vector<std::string> ValidateJson(const JsonValue& value, const JsonValue& schema)
{
    std::vector<std::string> problems;
    Validate(value, schema, "$", &problems);
    return problems;
}

JsonValue ReadReportSchema()
{
    JsonValue schema;
    std::string error;
    EXPECT_TRUE(ParseJsonFile(std::string(ZOLK_SOURCE_DIR) + "/docs/report.schema.json", &schema, &error)) << error;
    return schema;
}
