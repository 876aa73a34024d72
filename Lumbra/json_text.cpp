#include "Lumbra/json_text.h"

#include "UnicodeText/Text.h"


namespace Lumbra {
namespace {

bool appendRecords(std::string& out, const std::vector<IdNameRecord>& records) {
    out += '[';
    for (size_t i = 0; i < records.size(); ++i) {
        if (i > 0) out += ',';
        out += "{\"id\":";
        if (!text::appendJsonString(out, records[i].id)) return false;
        out += ",\"name\":";
        if (!text::appendJsonString(out, records[i].name)) return false;
        out += '}';
    }
    out += ']';
    return true;
}

} // namespace

std::optional<std::string> allDevicesJson(const std::vector<IdNameRecord>& webcams,
                                          const std::vector<IdNameRecord>& audios) {
    std::string out = "{\"webcams\":";
    if (!appendRecords(out, webcams)) return std::nullopt;
    out += ",\"audios\":";
    if (!appendRecords(out, audios)) return std::nullopt;
    out += '}';
    return out;
}

} // namespace Lumbra
