#include "output.h"

#include <fmt/core.h>

#include "file_io.h"

namespace fpmatch::tool {

void PrintJson(const Json& j) {
    WriteOut(j.dump(2, ' ', false, Json::error_handler_t::replace));
    WriteOut("\n");
}

std::string TypeName(uint8_t type) {
    switch (type) {
        case 0: return "ending";
        case 1: return "bifurcation";
        case 2: return "type-3";
        case 255: return "other";
        default: return fmt::format("type-{}", type);
    }
}

Json MinutiaJson(const Minutia& m, int index) {
    Json j;
    if (index >= 0) j["index"] = index;
    j["x"] = m.x;
    j["y"] = m.y;
    j["angle"] = m.angle;
    j["quality"] = m.quality;
    j["type"] = TypeName(m.type);
    return j;
}

std::string CsvField(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string out = "\"";
    for (char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string Percent(double fraction, int decimals) { return fmt::format("{:.{}f}", fraction * 100.0, decimals); }

}  // namespace fpmatch::tool
