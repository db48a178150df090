#include "printable.h"

#include <cstdint>

#include <fmt/core.h>

namespace fpmatch::tool {

namespace {

// Length of the well-formed UTF-8 sequence of a printable character at the
// start of `s` (2..4 bytes), or 0: a stray or truncated byte, an overlong
// form, a surrogate, a code point above U+10FFFF or a C1 control.
size_t PrintableSequence(std::string_view s) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    const uint8_t lead = byte(0);
    size_t length = 0;
    uint32_t cp = 0, least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1Fu, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0Fu, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    if (s.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u) return 0;
        cp = (cp << 6) | (byte(i) & 0x3Fu);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || (cp >= 0x80 && cp <= 0x9F)) return 0;
    return length;
}

}  // namespace

std::string Printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            if (c == '\\') out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t n = c >= 0x80 ? PrintableSequence(text.substr(i)) : 0;
        if (n > 0) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        switch (c) {
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default: out += fmt::format("\\x{:02x}", c);
        }
        ++i;
    }
    return out;
}

}  // namespace fpmatch::tool
