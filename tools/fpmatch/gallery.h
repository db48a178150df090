// Gallery arguments: files, folders and --list files expanded to paths in a
// fixed order, then loaded, every bad one reported.
#ifndef FPMATCH_TOOL_GALLERY_H
#define FPMATCH_TOOL_GALLERY_H

#include <optional>
#include <string>
#include <vector>

#include "template_load.h"

namespace fpmatch::tool {

// Expands gallery arguments: files are taken as given, folders contribute
// their regular files (not hidden ones) sorted by name, `listFile` names one
// path per line. Problems (missing list, empty folder, a sub-folder, which is
// not searched) are reported and counted in `problems`. Returns the paths in
// order.
std::vector<std::string> ExpandGallery(const std::vector<std::string>& args, const std::string& listFile,
                                       int* problems);

// A template file to enrol, with the subject it is enrolled under (empty:
// the subject follows from the path, FpmSubjectFromPath).
struct EnrolItem {
    std::string path;
    std::string subject;
};

// Enrolment arguments: files and folders as ExpandGallery expands them,
// each under `subject`; then the lines of `listFile`, "SUBJECT<TAB>PATH"
// (a folder: its files under SUBJECT) or "PATH" (under `subject`).
std::vector<EnrolItem> ExpandEnrolment(const std::vector<std::string>& args, const std::string& listFile,
                                       const std::string& subject, int* problems);

struct LoadedGallery {
    std::vector<Template> templates;
    int skipped = 0;
    bool aborted = false;  // --strict met a bad file
    int unexpanded = 0;    // problems reported while expanding the arguments
    size_t files = 0;      // paths the arguments expanded to
    // Inputs reported and left out, whether while expanding or loading.
    int Left() const { return skipped + unexpanded; }
};

// Loads every path, reporting and skipping bad ones (or stopping at the first
// with `strict`).
LoadedGallery LoadGallery(const std::vector<std::string>& paths, const LoadOptions& options, bool strict);

// ExpandGallery then LoadGallery for a command's gallery arguments. Returns
// nullopt when the command must stop with kExitInput: a problem under
// `strict`, no gallery path at all, or no usable template (each reported).
std::optional<LoadedGallery> LoadGalleryArguments(const std::vector<std::string>& args, const std::string& listFile,
                                                  const LoadOptions& options, bool strict);

}  // namespace fpmatch::tool

#endif
