// Hit lists merged across searches, and subject ids made from file paths.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "internal.h"

namespace fpmatch::id {

namespace {

bool HitBefore(const FpmHit& a, const FpmHit& b) {
    if (a.score != b.score) return a.score > b.score;
    if (a.entry != b.entry) return a.entry < b.entry;
    return std::strcmp(a.subject, b.subject) < 0;
}

}  // namespace

}  // namespace fpmatch::id

using namespace fpmatch::id;

extern "C" {

int32_t FpmMergeHits(const FpmHit* hits, int64_t count, int32_t bySubject, int32_t top, int32_t threshold,
                     FpmHit* out, int32_t capacity) {
    return Guarded([&]() -> int32_t {
        if ((hits == nullptr && count > 0) || count < 0 || top < 0 || capacity < 0 || (out == nullptr && capacity > 0))
            return Fail(FPM_E_ARGUMENT, "merge: a null list or a negative count");
        std::vector<const FpmHit*> all;
        all.reserve(static_cast<size_t>(count));
        for (int64_t k = 0; k < count; ++k)
            if (hits[k].score >= threshold) all.push_back(&hits[k]);
        std::stable_sort(all.begin(), all.end(), [](const FpmHit* a, const FpmHit* b) { return HitBefore(*a, *b); });
        const auto limit = static_cast<size_t>(top > 0 ? std::min(top, capacity) : capacity);
        std::unordered_map<std::string_view, bool> seen;
        size_t n = 0;
        for (const FpmHit* h : all) {
            if (n == limit) break;
            if (bySubject && !seen.emplace(std::string_view(h->subject, static_cast<size_t>(h->subjectLength)), true).second)
                continue;
            out[n++] = *h;
        }
        return static_cast<int32_t>(n);
    });
}

int32_t FpmSubjectFromPath(const char* path, char out[FPM_SUBJECT_MAX + 1]) {
    return Guarded([&]() -> int32_t {
        if (path == nullptr || out == nullptr) return Fail(FPM_E_ARGUMENT, "no path");
        std::string p(path);
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        const size_t slash = p.rfind('/');
        std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
        std::string folder;
        if (slash != std::string::npos && slash > 0) {
            const size_t before = p.rfind('/', slash - 1);
            folder = p.substr(before == std::string::npos ? 0 : before + 1, slash - (before == std::string::npos ? 0 : before + 1));
        }
        const size_t cut = name.rfind('_');
        if (cut != std::string::npos && cut > 0) name.resize(cut);
        else if (const size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
        const std::string id = folder.empty() || folder == "." || folder == ".." ? name : folder + "/" + name;
        if (!ValidSubject(id)) return Fail(FPM_E_SUBJECT, "no subject id can be made of \"" + p + "\"");
        std::memcpy(out, id.data(), id.size());
        out[id.size()] = '\0';
        return static_cast<int32_t>(id.size());
    });
}

}  // extern "C"
