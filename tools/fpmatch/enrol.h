// Enrolling template files into a gallery through the identification
// library: each file checked and read as every command reads templates,
// then FpmGalleryAdd under its subject; nothing is committed here, so the
// caller commits the whole batch in one step or drops it.
#ifndef FPMATCH_TOOL_ENROL_H
#define FPMATCH_TOOL_ENROL_H

#include <cstdint>
#include <string>
#include <vector>

#include "fpmatch_id.h"
#include "gallery.h"

namespace fpmatch::tool {

struct EnrolOptions {
    bool adapt = false;   // FPM_ADD_ADAPT: ISO records adapted before they are stored
    bool strict = false;  // stop at the first file that cannot be enrolled
    std::string label = "added";  // the progress line's verb
};

struct EnrolResult {
    int64_t added = 0;
    int skipped = 0;    // files reported and left out
    int exitCode = 0;   // non-zero: the batch must not be committed (strict stop, or the gallery refused)
};

// Adds every item to the writer's batch, reporting each file left out
// ("(skipped)") with the reason: the file's own, or the library's text. A
// file that is the gallery itself is passed over. On a terminal, a progress
// line gives the count, the rate and the time left.
EnrolResult Enrol(FpmGallery* gallery, const std::string& galleryPath, const std::vector<EnrolItem>& items,
                  const EnrolOptions& options);

}  // namespace fpmatch::tool

#endif
