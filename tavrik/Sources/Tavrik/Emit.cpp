#include "Tavrik/Emit.h"

#include "Tavrik/Output.h"

#include <chrono>

namespace tavrik {

double secondsSince1970() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::optional<std::string> eventLine(std::string_view event, const Json& data, double nowSeconds) {
    Json line = {{"event", std::string(event)}, {"timestamp", nowSeconds}};
    if (data.is_object()) {
        for (const auto& [key, value] : data.items()) line[key] = value;
    }
    return writeJson(line);
}

void emit(std::string_view event, const Json& data) {
    if (auto line = eventLine(event, data, secondsSince1970())) output()->writeLine(*line);
}

} // namespace tavrik
