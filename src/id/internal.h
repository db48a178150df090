// What the identification library's sources share: the handle behind
// FpmGallery, and how a failure is recorded for FpmLastErrorDetail.
#ifndef FPMATCH_ID_INTERNAL_H
#define FPMATCH_ID_INTERNAL_H

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "fpmatch_id.h"
#include "file.h"
#include "view.h"

namespace fpmatch::id {

// Records the detail of a failure for this thread and returns `code`.
int32_t Fail(int32_t code, const std::string& detail);
// Records `code` with the gallery's path and `why`: "PATH: why".
int32_t FailAt(int32_t code, const std::string& path, const std::string& why);
// Clears the thread's detail at the start of a call.
void ClearDetail();

// Runs a C entry point's body: clears the thread's detail first, and turns
// an exception into a code (nothing is thrown across the interface).
template <class Fn>
int32_t Guarded(Fn fn) {
    try {
        ClearDetail();
        return fn();
    } catch (const std::bad_alloc&) {
        return Fail(FPM_E_NO_MEMORY, "out of memory");
    } catch (const std::exception& e) {
        return Fail(FPM_E_IO, e.what());
    }
}

// A template added in the current batch.
struct PendingAdd {
    std::string subject;
    uint32_t ordinal = 0;
    std::vector<uint8_t> bytes;  // what the comparison reads, at most kTemplateSlot
    std::array<uint8_t, FPMATCH_FILTER_RECORD_SIZE> filter{};
    std::vector<uint8_t> compact;  // its compact record (empty: none can be made)
};

}  // namespace fpmatch::id

struct FpmGallery {
    std::string path;
    bool writable = false;
    fpmatch::id::UniqueFd fd;  // a writer's is locked
    // Searches hold it shared; changes, refresh and compaction exclusively.
    std::shared_mutex lock;
    std::shared_ptr<const fpmatch::id::View> view;
    // Writer only.
    int slot = 0;  // commit slot holding the current commit
    std::unordered_map<std::string, uint32_t> ordinals;  // every subject ever stored
    uint32_t nextOrdinal = 0;
    std::vector<fpmatch::id::PendingAdd> adds;
    std::vector<uint64_t> removals;  // committed template ids, ascending, to remove
};

namespace fpmatch::id {

// Builds the writer's subject map from every stored entry of the view.
int32_t LoadOrdinals(FpmGallery* g);

}  // namespace fpmatch::id

#endif
