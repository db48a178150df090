#include "template_load.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include <fmt/core.h>

#include "file_io.h"
#include "report.h"

namespace fpmatch::tool {

namespace {

constexpr size_t kIsoHeader = 28;  // record header + finger view header
constexpr size_t kIsoEntry = 6;
constexpr size_t kShortMarkedBytes = 56;  // 03 01, quality, count, then zeros up to the minutiae

uint32_t BigEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Four header bytes as the user would read them: printable characters kept,
// the rest as \xNN.
std::string Quoted(const uint8_t* p, size_t n) {
    std::string out = "\"";
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == 0 && i + 1 == n) break;  // the terminating zero byte
        if (p[i] >= 0x20 && p[i] < 0x7F && p[i] != '"' && p[i] != '\\')
            out += static_cast<char>(p[i]);
        else
            out += fmt::format("\\x{:02X}", p[i]);
    }
    return out + "\"";
}

// A short screening template: exactly 512 bytes, 03 01, and the zeros its
// writer leaves where a native template keeps its mask and singular points.
bool IsShortTemplate(const std::vector<uint8_t>& b) {
    return b.size() == FPMATCH_SHORT_TEMPLATE_SIZE && b[0] == 3 && b[1] == 1 &&
           std::all_of(b.begin() + 4, b.begin() + kShortMarkedBytes, [](uint8_t v) { return v == 0; });
}

}  // namespace

std::string KindName(TemplateKind kind) {
    switch (kind) {
        case TemplateKind::Iso: return "iso";
        case TemplateKind::Native: return "native";
        case TemplateKind::Short: return "short";
    }
    return "unknown";
}

std::optional<Template> CheckBytes(const std::string& path, std::vector<uint8_t> bytes, const LoadOptions& options,
                                   std::string* reason) {
    const size_t size = bytes.size();
    if (size == 0) {
        *reason = "empty file";
        return std::nullopt;
    }
    Template t;
    t.path = path;
    t.name = IsStdin(path) ? "standard input" : std::filesystem::path(path).filename().string();
    const bool iso = size >= 2 && bytes[0] == 'F' && bytes[1] == 'M';
    if (!iso && bytes[0] != 3) {
        *reason = fmt::format(
            "neither an ISO/IEC 19794-2 record (starting \"FM\") nor a native template (version byte 3); first byte "
            "0x{:02X}",
            bytes[0]);
        return std::nullopt;
    }
    t.kind = iso ? TemplateKind::Iso : TemplateKind::Native;
    if (iso) {
        if (size < kIsoHeader) {
            *reason = fmt::format("truncated: an ISO record needs at least {} bytes, the file has {}", kIsoHeader, size);
            return std::nullopt;
        }
        // The decoder only looks at "FM"; a record of another format or
        // version would be read with the wrong layout.
        if (std::memcmp(bytes.data(), "FMR", 4) != 0) {
            *reason = fmt::format("format identifier {} where \"FMR\" is expected: not an ISO/IEC 19794-2 finger "
                                  "minutiae record",
                                  Quoted(bytes.data(), 4));
            return std::nullopt;
        }
        if (std::memcmp(bytes.data() + 4, " 20", 4) != 0) {
            *reason = fmt::format("record version {}: only the ISO/IEC 19794-2:2005 layout (version \" 20\") is read",
                                  Quoted(bytes.data() + 4, 4));
            return std::nullopt;
        }
        const uint32_t recordLength = BigEndian32(&bytes[8]);
        if (recordLength >= kIsoHeader && recordLength > size) {
            *reason = fmt::format("truncated: the record header declares {} bytes, the file has {}", recordLength, size);
            return std::nullopt;
        }
        const size_t present = std::min<size_t>(bytes[27], (size - kIsoHeader) / kIsoEntry);
        bool allZero = present > 0;
        for (size_t i = 0; i < present; ++i)
            if (bytes[kIsoHeader + kIsoEntry * i + 5] != 0) allZero = false;
        t.isoQualitiesZero = allZero;
        if (options.adapt) {
            std::vector<uint8_t> out(size + 1024);
            const int32_t n = AdaptIsoRecord(bytes.data(), size, out.data(), out.size());
            if (n < 0 || static_cast<size_t>(n) > out.size()) {
                *reason = "--adapt refused this ISO record: " + AdaptCodeMessage(n);
                return std::nullopt;
            }
            out.resize(static_cast<size_t>(n));
            t.original = std::move(bytes);
            bytes = std::move(out);
            t.adapted = true;
        }
    } else if (IsShortTemplate(bytes)) {
        if (!options.acceptShort) {
            *reason = "a 512-byte short screening template: only screen and info read it; matching needs a native "
                      "template or an ISO record";
            return std::nullopt;
        }
        t.kind = TemplateKind::Short;
        t.declaredCount = bytes[3];
        t.original = bytes;
        t.bytes = std::move(bytes);
        return t;
    }
    const size_t length = bytes.size();
    const int32_t needed = TemplateLength(bytes.data(), length);
    if (!iso && needed == 0) {
        // The smallest complete native template declares one minutia.
        static const uint8_t kOneMinutiaHeader[4] = {3, 0, 0, 1};
        *reason = fmt::format("truncated: a native template needs at least {} bytes, the file has {}",
                              TemplateLength(kOneMinutiaHeader, sizeof kOneMinutiaHeader), length);
        return std::nullopt;
    }
    const int count = bytes[iso ? 27 : 3];
    t.declaredCount = count;
    const int32_t check = CheckTemplate(bytes.data(), length);
    switch (check) {
        case FPMATCH_DECODED:
            break;
        case FPMATCH_BAD_COUNT: {
            const std::string why = fmt::format("{}declares {} minutiae; 1 to 50 are accepted{}",
                                                t.adapted ? "adapted record " : "", count,
                                                iso && count > 50 && !t.adapted ? " (try --adapt)" : "");
            // A complete ISO record with more minutiae than the matcher takes
            // can still be described.
            if (options.describe && iso && count > 50 && length >= kIsoHeader + kIsoEntry * static_cast<size_t>(count)) {
                t.refusal = why;
                break;
            }
            *reason = why;
            return std::nullopt;
        }
        case FPMATCH_TRUNCATED:
            *reason = fmt::format("truncated: the header declares {} minutiae, which need {} bytes; the file has {}",
                                  count, needed, length);
            return std::nullopt;
        default:
            *reason = DecodeCodeMessage(check);
            return std::nullopt;
    }
    if (!t.adapted) t.original = bytes;
    t.bytes = std::move(bytes);
    return t;
}

std::optional<Template> LoadTemplate(const std::string& path, const LoadOptions& options, std::string* reason) {
    std::vector<uint8_t> bytes;
    if (!ReadInput(path, kMaxTemplateFile, &bytes, reason)) return std::nullopt;
    return CheckBytes(path, std::move(bytes), options, reason);
}

std::optional<Template> LoadRequired(const std::string& path, const LoadOptions& options) {
    std::string reason;
    auto loaded = LoadTemplate(path, options, &reason);
    if (!loaded) Report(DisplayPath(path), reason);
    return loaded;
}

void HintIfQualitiesMissing(const Template& t, const LoadOptions& options) {
    if (t.kind == TemplateKind::Iso && t.isoQualitiesZero && !options.adapt)
        NoteOnce("adapt", DisplayPath(t.path) +
                              " carries no minutia qualities (all 0); --adapt usually matches such records far "
                              "better (said once)");
}

int32_t DecodeTemplate(const Template& t, FeatureStorage* storage, FeatureSet* fs) {
    BindFeatureSet(fs, storage);
    if (t.kind == TemplateKind::Short) return -1;  // not for the decoder: XpdShortChar reads it
    if (!t.refusal.empty()) return FPMATCH_BAD_COUNT;
    return DecodeFeature(t.bytes.data(), fs);
}

}  // namespace fpmatch::tool
