#include "Tavrik/JsonWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using tavrik::Json;
using tavrik::writeJson;

TEST(JsonWriter, WritesTheWireFormat) {
    struct Case {
        const char* name;
        Json value;
        const char* expected;
    };
    const Case cases[] = {
        {"slash escaped", "/tmp/a.mp4", R"("\/tmp\/a.mp4")"},
        {"quote and backslash", "a\"b\\c", R"("a\"b\\c")"},
        {"line breaks on one line", "one\ntwo\r\nthree\t", R"("one\ntwo\r\nthree\t")"},
        {"other control characters", std::string("\x01\x1f", 2), R"("\u0001\u001f")"},
        {"non-ASCII as UTF-8", "caf\xC3\xA9 \xE2\x9C\x93", "\"caf\xC3\xA9 \xE2\x9C\x93\""},
        {"whole double", 30.0, "30"},
        {"negative whole double", -2.0, "-2"},
        {"fraction kept", 0.5, "0.5"},
        {"timestamp keeps its fraction", 1765353600.25, "1765353600.25"},
        {"signed integer", int64_t{-9223372036854775807LL - 1}, "-9223372036854775808"},
        {"unsigned integer", uint64_t{18446744073709551615ULL}, "18446744073709551615"},
        {"null", nullptr, "null"},
        {"booleans", Json::array({true, false}), "[true,false]"},
        {"nested objects compact", Json{{"b", {{"c", nullptr}}}, {"a", Json::array()}}, R"({"a":[],"b":{"c":null}})"},
        {"empty object", Json::object(), "{}"},
    };
    for (const auto& c : cases) {
        auto text = writeJson(c.value);
        ASSERT_TRUE(text) << c.name;
        EXPECT_EQ(*text, c.expected) << c.name;
    }
}

TEST(JsonWriter, RefusesWhatHasNoJsonForm) {
    const Json cases[] = {
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(),
        Json{{"deep", Json::array({1, -std::numeric_limits<double>::infinity()})}},
        std::string("bad \xC3"),            // truncated sequence
        std::string("\xED\xA0\x80"),        // encoded surrogate
        Json{{std::string("\xFF"), 1}},     // invalid key
        Json::binary({1, 2, 3}),
    };
    for (const auto& value : cases) EXPECT_FALSE(writeJson(value)) << value.type_name();
}

TEST(JsonWriter, PrettyPrintsSortedAndIndented) {
    Json value = Json::array({Json{{"zeta", 1}, {"alpha", Json{{"x", 2.0}}}}});
    auto text = writeJson(value, {.pretty = true});
    ASSERT_TRUE(text);
    EXPECT_EQ(*text,
              "[\n"
              "  {\n"
              "    \"alpha\" : {\n"
              "      \"x\" : 2\n"
              "    },\n"
              "    \"zeta\" : 1\n"
              "  }\n"
              "]");
    EXPECT_EQ(*writeJson(Json::array(), {.pretty = true}), "[]");
}
