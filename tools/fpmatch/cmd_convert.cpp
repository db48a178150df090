// convert INPUT --to native|short|iso -o OUT: a template written in another
// form by the library's writers; what does not fit is refused and named.
// OUT "-" is standard output, which then carries the template alone.
#include <memory>

#include "commands.h"
#include "conversion.h"
#include "file_io.h"
#include "printable.h"
#include "report.h"
#include "template_load.h"

namespace fpmatch::tool {

namespace {

struct ConvertOptions {
    std::string in, to, out;
    bool adapt = false;
};

int Run(const ConvertOptions& o) {
    const LoadOptions load{o.adapt};
    const auto t = LoadRequired(o.in, load);
    if (!t) return kExitInput;
    HintIfQualitiesMissing(*t, load);
    const std::string input = DisplayPath(o.in);
    if (o.to == "iso") {
        // ISO records are written as they were read, or as adapted.
        if (t->kind != TemplateKind::Iso) {
            Report(input, "cannot convert a native template to an ISO record: there is no ISO writer; only ISO records "
                          "(adapted with --adapt) are written as ISO records");
            return kExitRefused;
        }
        if (!WriteFileBytes(o.out, t->bytes.data(), t->bytes.size())) return kExitOutput;
        if (!IsStdout(o.out))
            Print("wrote {} (iso{}, {} bytes, {} minutiae)\n", Printable(o.out), t->adapted ? ", adapted" : "",
                  t->bytes.size(), t->declaredCount);
        return kExitOk;
    }
    auto storage = std::make_unique<FeatureStorage>();
    FeatureSet fs;
    const int32_t code = DecodeTemplate(*t, storage.get(), &fs);
    if (code != FPMATCH_DECODED) {
        Report(input, "does not decode: " + DecodeCodeMessage(code));
        return kExitInput;
    }
    const WriteTarget target = o.to == "native" ? WriteTarget::Native : WriteTarget::Short;
    uint8_t out[1024] = {};
    const int32_t n = target == WriteTarget::Native ? WriteNativeTemplate(&fs, out, sizeof out)
                                                    : WriteShortTemplate(&fs, out, sizeof out);
    if (n < 0) {
        Report(input, "cannot convert to a " + o.to + " template: " + WriteRefusal(fs, n, target) +
                          (t->kind == TemplateKind::Iso && !o.adapt ? " (--adapt may bring it into range)" : ""));
        return kExitRefused;
    }
    if (!WriteFileBytes(o.out, out, static_cast<size_t>(n))) return kExitOutput;
    if (t->kind == TemplateKind::Native && t->declaredCount > FPMATCH_MAX_NATIVE_MINUTIAE)
        NoteOnce("native25", "only the first 25 minutiae of a native template are decoded and written");
    if (target == WriteTarget::Native && fs.minutiaCount > FPMATCH_MAX_NATIVE_MINUTIAE)
        NoteOnce("native25", fmt::format("all {} minutiae were written, but matching reads only the first 25 of a "
                                         "native template",
                                         fs.minutiaCount));
    if (!IsStdout(o.out)) Print("wrote {} ({}, {} bytes, {} minutiae)\n", Printable(o.out), o.to, n, fs.minutiaCount);
    return kExitOk;
}

}  // namespace

void AddConvert(CLI::App& app, int* exitCode) {
    auto o = std::make_shared<ConvertOptions>();
    CLI::App* c = app.add_subcommand(
        "convert", "Write an ISO record or native template as a native or short template, or an ISO record as "
                   "(with --adapt: adapted) ISO record");
    c->add_option("input", o->in, "Input template file (- for standard input)")->required();
    c->add_option("--to", o->to, "Target format")->required()->check(CLI::IsMember({"native", "short", "iso"}));
    c->add_option("-o,--output", o->out, "Output file (- for standard output)")->required();
    c->add_flag("--adapt", o->adapt, "Adapt ISO records (AdaptIsoRecord) first");
    SetCommand(c, exitCode, [o] { return Run(*o); });
}

}  // namespace fpmatch::tool
