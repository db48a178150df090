#include "gallery.h"

#include <algorithm>
#include <filesystem>

#include <fmt/core.h>

#include "file_io.h"
#include "parallel.h"
#include "report.h"

namespace fpmatch::tool {

namespace fs = std::filesystem;

namespace {

constexpr size_t kProgressFrom = 2000;  // galleries this large show loading progress
constexpr size_t kMaxListFile = 256u << 20;

// Adds a gallery argument's paths to `out`: a file as given (problems with
// it are reported when it is loaded), a folder's regular files (not hidden
// ones) sorted by name; an empty folder and sub-folders are reported.
void AddGalleryArgument(const std::string& arg, std::vector<std::string>* out, int* problems) {
    std::error_code ec;
    if (IsStdin(arg) || !fs::is_directory(arg, ec)) {
        out->push_back(arg);
        return;
    }
    std::vector<std::string> files, folders;
    for (fs::directory_iterator it(arg, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code fe;
        if (it->is_directory(fe))
            folders.push_back(it->path().string());
        else if (it->is_regular_file(fe))
            files.push_back(it->path().string());
    }
    if (ec) {
        Report(arg, "cannot list folder: " + ec.message());
        ++*problems;
        return;
    }
    std::sort(folders.begin(), folders.end());
    for (const std::string& f : folders) {
        Report(f, "a folder inside a gallery folder: not searched (skipped; name it as an argument to search it)");
        ++*problems;
    }
    if (files.empty()) {
        Report(arg, "folder holds no template files");
        ++*problems;
        return;
    }
    std::sort(files.begin(), files.end());
    out->insert(out->end(), files.begin(), files.end());
}


// The lines of a list file that name something: trimmed of spaces, tabs
// and carriage returns at both ends; blank lines and "#" comments left out.
// `base` is the folder relative paths are read from.
std::vector<std::string> ListLines(const std::string& listFile, fs::path* base, int* problems) {
    std::vector<std::string> lines;
    std::vector<uint8_t> bytes;
    std::string reason;
    if (!ReadInput(listFile, kMaxListFile, &bytes, &reason)) {
        Report(DisplayPath(listFile), "cannot read list: " + reason);
        ++*problems;
        return lines;
    }
    *base = IsStdin(listFile) ? fs::path() : fs::path(listFile).parent_path();
    const std::string text(bytes.begin(), bytes.end());
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const size_t b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos || line[b] == '#') continue;
        const size_t e = line.find_last_not_of(" \t\r");
        lines.push_back(line.substr(b, e - b + 1));
    }
    return lines;
}

std::string Relative(const fs::path& base, const std::string& path) {
    fs::path p(path);
    if (p.is_relative() && !base.empty()) p = base / p;
    return p.string();
}

}  // namespace

std::vector<std::string> ExpandGallery(const std::vector<std::string>& args, const std::string& listFile,
                                       int* problems) {
    std::vector<std::string> out;
    for (const std::string& a : args) AddGalleryArgument(a, &out, problems);
    if (!listFile.empty()) {
        fs::path base;
        for (const std::string& line : ListLines(listFile, &base, problems))
            AddGalleryArgument(Relative(base, line), &out, problems);
    }
    return out;
}

std::vector<EnrolItem> ExpandEnrolment(const std::vector<std::string>& args, const std::string& listFile,
                                       const std::string& subject, int* problems) {
    std::vector<EnrolItem> out;
    auto add = [&](const std::string& arg, const std::string& id) {
        std::vector<std::string> paths;
        AddGalleryArgument(arg, &paths, problems);
        for (std::string& p : paths) out.push_back(EnrolItem{std::move(p), id});
    };
    for (const std::string& a : args) add(a, subject);
    if (!listFile.empty()) {
        fs::path base;
        for (const std::string& line : ListLines(listFile, &base, problems)) {
            const size_t tab = line.find('\t');
            if (tab == std::string::npos) {
                add(Relative(base, line), subject);
                continue;
            }
            const size_t path = line.find_first_not_of(" \t", tab);
            add(Relative(base, line.substr(path)), line.substr(0, line.find_last_not_of(' ', tab - 1) + 1));
        }
    }
    return out;
}

LoadedGallery LoadGallery(const std::vector<std::string>& paths, const LoadOptions& options, bool strict) {
    LoadedGallery g;
    g.templates.reserve(paths.size());
    Progress progress("loaded", paths.size(), kProgressFrom);
    for (const std::string& p : paths) {
        progress.Add();
        std::string reason;
        auto t = LoadTemplate(p, options, &reason);
        if (!t) {
            Report(DisplayPath(p), reason + (strict ? "" : " (skipped)"));
            ++g.skipped;
            if (strict) {
                g.aborted = true;
                break;
            }
            continue;
        }
        HintIfQualitiesMissing(*t, options);
        g.templates.push_back(std::move(*t));
    }
    return g;
}

std::optional<LoadedGallery> LoadGalleryArguments(const std::vector<std::string>& args, const std::string& listFile,
                                                  const LoadOptions& options, bool strict) {
    int problems = 0;
    const std::vector<std::string> paths = ExpandGallery(args, listFile, &problems);
    if (problems > 0 && strict) return std::nullopt;
    if (paths.empty()) {
        Report("gallery", "no gallery templates given (files, folders or --list)");
        return std::nullopt;
    }
    LoadedGallery g = LoadGallery(paths, options, strict);
    if (g.aborted) return std::nullopt;
    g.unexpanded = problems;
    g.files = paths.size();
    if (g.templates.empty()) {
        Report("gallery", fmt::format("none of the {} gallery files is a usable template", paths.size()));
        return std::nullopt;
    }
    return g;
}

}  // namespace fpmatch::tool
