#include "shards.h"

namespace fpmatch::tool {

std::vector<std::string> SplitGalleryArguments(const std::vector<std::string>& values) {
    std::vector<std::string> shards;
    for (const std::string& v : values) {
        size_t from = 0;
        while (from <= v.size()) {
            const size_t comma = v.find(',', from);
            const size_t end = comma == std::string::npos ? v.size() : comma;
            if (end > from) shards.push_back(v.substr(from, end - from));
            if (comma == std::string::npos) break;
            from = comma + 1;
        }
    }
    return shards;
}

std::string GalleryLabel(const std::vector<std::string>& shards) {
    std::string label;
    for (const std::string& s : shards) label += (label.empty() ? "" : ",") + s;
    return label;
}

std::string ShardFileName(const std::string& prefix, int s, int n) {
    const size_t width = std::to_string(n > 1 ? n - 1 : 0).size();
    std::string number = std::to_string(s);
    if (number.size() < width) number.insert(0, width - number.size(), '0');
    return prefix + "." + number + ".fpg";
}

}  // namespace fpmatch::tool
