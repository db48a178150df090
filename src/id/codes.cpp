// The one table of texts for the codes of both libraries, and the detail of
// the last failure on each thread.
#include <string>

#include "internal.h"

namespace fpmatch::id {

namespace {

thread_local std::string t_detail;

const char* OwnText(int32_t code) {
    switch (code) {
        case FPM_OK: return "success";
        case FPM_E_NO_MEMORY: return "out of memory";
        case FPM_E_IO: return "the file could not be read or written";
        case FPM_E_NO_FILE: return "no such file";
        case FPM_E_EXISTS: return "the file exists already";
        case FPM_E_LOCKED: return "another writer has the gallery open";
        case FPM_E_READ_ONLY: return "the gallery is open read-only";
        case FPM_E_ARGUMENT: return "an argument is missing or out of range";
        case FPM_E_SUBJECT: return "a subject id must be 1 to 255 bytes of UTF-8 without control characters";
        case FPM_E_UNKNOWN_SUBJECT: return "no such subject in the gallery";
        case FPM_E_DAMAGED: return "the gallery is damaged";
        case FPM_E_NOT_GALLERY: return "not a gallery";
        case FPM_E_VERSION: return "a gallery format version this library does not read";
        case FPM_E_FULL: return "the gallery cannot hold more templates";
        case FPM_E_PENDING: return "there are uncommitted changes; commit or discard them first";
        case FPM_E_NOT_SCREENABLE: return "the probe cannot become a short template for screening";
        default: return nullptr;
    }
}

const char* TemplateText(int32_t k) {
    switch (k) {
        case FPMATCH_BAD_VERSION: return "template: the native version byte is not 3";
        case FPMATCH_BAD_COUNT: return "template: the minutia count is outside 1..50";
        case FPMATCH_TRUNCATED: return "template: shorter than its header declares";
        case FPMATCH_NULL_INPUT: return "template: no data";
        default: return nullptr;
    }
}

const char* GalleryText(int32_t c) {
    switch (c) {
        case FPMATCH_GALLERY_NULL_INPUT: return "gallery: no data";
        case FPMATCH_GALLERY_NOT_GALLERY: return "gallery: the file does not start with the gallery signature";
        case FPMATCH_GALLERY_BAD_VERSION: return "gallery: a format version this library does not read";
        case FPMATCH_GALLERY_TRUNCATED_HEADER: return "gallery: truncated, shorter than its header";
        case FPMATCH_GALLERY_BAD_HEADER:
            return "gallery: damaged header (header size, entry or segment count or used size out of range)";
        case FPMATCH_GALLERY_TRUNCATED: return "gallery: truncated, shorter than the size its header declares";
        case FPMATCH_GALLERY_BAD_SEGMENT:
            return "gallery: a segment header is missing, out of order or not where the file header says";
        case FPMATCH_GALLERY_BAD_STRIDE: return "gallery: a segment's template slot size is outside 328..1048576";
        case FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS:
            return "gallery: a segment's templates, names or short templates lie outside the file";
        case FPMATCH_GALLERY_COUNT_MISMATCH:
            return "gallery: the segments' entry counts disagree with each other or with the header";
        case FPMATCH_GALLERY_BAD_RANGE: return "gallery: entry or segment number outside the gallery";
        case FPMATCH_GALLERY_BAD_ENTRY: return "gallery: an entry's name or template length does not fit its segment";
        case FPMATCH_GALLERY_BAD_PROBE: return "gallery: the probe could not be prepared";
        case FPMATCH_GALLERY_OUT_TOO_SMALL: return "gallery: the output buffer is too small";
        default: return nullptr;
    }
}

const char* AdaptText(int32_t c) {
    switch (c) {
        case FPMATCH_ADAPT_NULL_INPUT: return "ISO record: no data";
        case FPMATCH_ADAPT_TRUNCATED: return "ISO record: shorter than the 24-byte record header";
        case FPMATCH_ADAPT_BAD_IDENTIFIER: return "ISO record: does not start with \"FMR\"";
        case FPMATCH_ADAPT_BAD_VERSION: return "ISO record: not version \" 20\" (ISO/IEC 19794-2:2005)";
        case FPMATCH_ADAPT_LENGTH_EXCEEDS_BUFFER: return "ISO record: its length field exceeds the data";
        case FPMATCH_ADAPT_NO_VIEWS: return "ISO record: no finger view";
        case FPMATCH_ADAPT_VIEW_TRUNCATED: return "ISO record: a finger view runs past the record length";
        case FPMATCH_ADAPT_LENGTH_MISMATCH: return "ISO record: the finger views end before the record length";
        case FPMATCH_ADAPT_NO_MINUTIAE: return "ISO record: the first finger view has no minutia";
        case FPMATCH_ADAPT_OUT_OF_RANGE: return "ISO record: an adapted coordinate or image size is out of range";
        case FPMATCH_ADAPT_OUT_TOO_SMALL: return "ISO record: the output buffer is too small";
        default: return nullptr;
    }
}

const char* WriteText(int32_t c) {
    switch (c) {
        case FPMATCH_WRITE_NULL_INPUT: return "writer: no data";
        case FPMATCH_WRITE_TOO_SMALL: return "writer: the output buffer is too small";
        case FPMATCH_WRITE_BAD_COUNT: return "writer: the minutia count is outside 1..50";
        case FPMATCH_WRITE_BAD_POSITION: return "writer: a minutia position does not fit the format";
        case FPMATCH_WRITE_BAD_ANGLE: return "writer: a direction is outside 0..511";
        case FPMATCH_WRITE_BAD_TYPE: return "writer: a minutia type the format cannot hold";
        case FPMATCH_WRITE_BAD_SINGULAR: return "writer: a singular point does not fit the format";
        default: return nullptr;
    }
}

}  // namespace

int32_t Fail(int32_t code, const std::string& detail) {
    const char* text = FpmCodeText(code);
    t_detail = detail.empty() || detail == text ? std::string(text) : detail;
    return code;
}

int32_t FailAt(int32_t code, const std::string& path, const std::string& why) {
    return Fail(code, path + ": " + (why.empty() ? std::string(FpmCodeText(code)) : why));
}

void ClearDetail() { t_detail.clear(); }

}  // namespace fpmatch::id

extern "C" {

int32_t FpmFromCoreCode(int32_t family, int32_t code) {
    if (code == 0) return FPM_OK;
    switch (family) {
        case FPM_FAMILY_TEMPLATE: return FPM_E_TEMPLATE_BASE - code;
        case FPM_FAMILY_GALLERY: return FPM_E_GALLERY_BASE + code;
        case FPM_FAMILY_ADAPT: return FPM_E_ADAPT_BASE + code;
        case FPM_FAMILY_WRITE: return FPM_E_WRITE_BASE + code;
        default: return FPM_E_ARGUMENT;
    }
}

const char* FpmCodeText(int32_t code) {
    using namespace fpmatch::id;
    const char* t = nullptr;
    if (code > -100) t = OwnText(code);
    else if (code > -200) t = TemplateText(FPM_E_TEMPLATE_BASE - code);
    else if (code > -300) t = GalleryText(code - FPM_E_GALLERY_BASE);
    else if (code > -400) t = AdaptText(code - FPM_E_ADAPT_BASE);
    else if (code > -500) t = WriteText(code - FPM_E_WRITE_BASE);
    return t != nullptr ? t : "unknown code";
}

const char* FpmLastErrorDetail(void) { return fpmatch::id::t_detail.c_str(); }

}  // extern "C"
