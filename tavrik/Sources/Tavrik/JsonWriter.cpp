#include "Tavrik/JsonWriter.h"

#include "Tavrik/Text.h"

#include <array>
#include <charconv>
#include <cmath>

namespace tavrik {
namespace {

class Writer {
public:
    explicit Writer(JsonStyle style) : style_(style) {}

    bool write(const Json& value, int depth) {
        switch (value.type()) {
        case Json::value_t::null: out_ += "null"; return true;
        case Json::value_t::boolean: out_ += value.get<bool>() ? "true" : "false"; return true;
        case Json::value_t::number_integer: out_ += std::to_string(value.get<int64_t>()); return true;
        case Json::value_t::number_unsigned: out_ += std::to_string(value.get<uint64_t>()); return true;
        case Json::value_t::number_float: return writeDouble(value.get<double>());
        case Json::value_t::string: return writeString(value.get_ref<const std::string&>());
        case Json::value_t::array: return writeArray(value, depth);
        case Json::value_t::object: return writeObject(value, depth);
        case Json::value_t::binary:
        case Json::value_t::discarded: return false;
        }
        return false;
    }

    std::string take() { return std::move(out_); }

private:
    bool writeDouble(double number) {
        if (!std::isfinite(number)) return false;
        // Whole values in the exactly representable integer range are written as integers.
        if (number == std::trunc(number) && std::fabs(number) < 9.007199254740992e15) {
            out_ += std::to_string(static_cast<int64_t>(number));
            return true;
        }
        std::array<char, 32> buffer{};
        auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
        out_.append(buffer.data(), result.ptr);
        return true;
    }

    bool writeString(const std::string& text) { return text::appendJsonString(out_, text); }

    void newline(int depth) {
        if (!style_.pretty) return;
        out_ += '\n';
        out_.append(static_cast<size_t>(depth) * 2, ' ');
    }

    bool writeArray(const Json& array, int depth) {
        out_ += '[';
        bool first = true;
        for (const auto& element : array) {
            if (!first) out_ += ',';
            first = false;
            newline(depth + 1);
            if (!write(element, depth + 1)) return false;
        }
        if (!first) newline(depth);
        out_ += ']';
        return true;
    }

    bool writeObject(const Json& object, int depth) {
        out_ += '{';
        bool first = true;
        for (const auto& [key, member] : object.items()) {
            if (!first) out_ += ',';
            first = false;
            newline(depth + 1);
            if (!writeString(key)) return false;
            out_ += style_.pretty ? " : " : ":";
            if (!write(member, depth + 1)) return false;
        }
        if (!first) newline(depth);
        out_ += '}';
        return true;
    }

    JsonStyle style_;
    std::string out_;
};

} // namespace

std::optional<std::string> writeJson(const Json& value, JsonStyle style) {
    Writer writer(style);
    if (!writer.write(value, 0)) return std::nullopt;
    return writer.take();
}

} // namespace tavrik
