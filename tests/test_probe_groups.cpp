// Probe groups, the batch comparison's shared walk, against each probe's own
// walk: the same pair scores on every code path, and the probes a group
// cannot take left to their own.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "internal_paths.h"
#include "prepared_layout.h"
#include "synthetic.h"
#include "test_support.h"

namespace {

using namespace fpmatch::detail;
namespace samples = fpmatch::samples;
using Bytes = std::vector<uint8_t>;
using Probes = std::vector<std::unique_ptr<PreparedProbe>>;

ProbeRecord& Record(const std::unique_ptr<PreparedProbe>& p) { return *reinterpret_cast<ProbeRecord*>(p.get()); }

// Synthetic fingers of the given minutia counts, two impressions each (ISO,
// padded to the 328 bytes a comparison may read), then up to `fvc` adapted
// FVC2002 records when present.
std::vector<Bytes> Templates(const std::vector<int>& counts, size_t fvc) {
    std::vector<Bytes> out;
    samples::Random rng(20261209);
    for (const int count : counts) {
        const auto finger = samples::MakeFinger(rng.Next(), count);
        for (int e = 0; e < 2; ++e) out.push_back(samples::MakeIsoRecord(samples::MakeImpression(finger, rng.Next()), 60));
    }
    const auto real = fpmatch::test::LoadFvc();
    for (size_t k = 0; k < real.size() && k < fvc; ++k) {
        const Bytes& raw = real[k * 7 % real.size()].bytes;
        Bytes adapted(1024);
        const int32_t n = AdaptIsoRecord(raw.data(), raw.size(), adapted.data(), adapted.size());
        if (n > 0) out.push_back(Bytes(adapted.begin(), adapted.begin() + n));
    }
    for (Bytes& t : out) t.resize(std::max<size_t>(t.size(), 328), 0);
    return out;
}

Probes Prepare(const std::vector<Bytes>& templates, std::vector<const ProbeRecord*>* records) {
    Probes probes;
    for (const Bytes& t : templates) {
        probes.push_back(std::make_unique<PreparedProbe>());
        EXPECT_EQ(PrepareProbe(t.data(), probes.back().get()), FPMATCH_DECODED);
        records->push_back(&Record(probes.back()));
    }
    return probes;
}

// Groups of every size give each probe its own table (which pairs score, and
// what), on every path: synthetic probes of 12 to 50 minutiae and FVC2002
// records against every template of the set.
TEST(ProbeGroups, EachProbeGetsItsOwnTablesOnEveryPath) {
    const std::vector<Bytes> templates = Templates({12, 30, 50, 24, 40, 18, 50, 33}, 24);
    std::vector<const ProbeRecord*> records;
    const Probes probes = Prepare(templates, &records);
    std::vector<std::unique_ptr<PreparedGallery>> galleries;
    for (const Bytes& t : templates) {
        galleries.push_back(std::make_unique<PreparedGallery>());
        ASSERT_EQ(PrepareGallery(t.data(), galleries.back().get()), FPMATCH_DECODED);
    }
    int32_t grouped = 0, positive = 0;
    auto group = std::make_unique<ProbeGroup>();
    for (int32_t path = 0; path < kPathCount; ++path) {
        if (!(SupportedPaths() & 1 << path)) continue;
        for (int32_t size = 2; size <= kGroupProbes; ++size)
            for (size_t first = 0; first + static_cast<size_t>(size) <= records.size(); first += static_cast<size_t>(size)) {
                const int32_t taken = GroupProbes(records.data() + first, size, group.get());
                ASSERT_GE(taken, 1) << "probes made by PrepareProbe are always grouped";
                grouped += taken;
                for (const auto& prepared : galleries) {
                    const GalleryRecord& gallery = *UsableGallery(prepared.get());
                    PairScoreTable tables[kGroupProbes], own;
                    ComputePairScores(group->edges, gallery, tables, path);
                    for (int32_t p = 0; p < taken; ++p) {
                        const ProbeRecord& probe = *records[first + static_cast<size_t>(p)];
                        ComputePairScores(EdgesOf(probe), gallery, &own, path);
                        for (int32_t i = 0; i < probe.header.minutiaCount; ++i) {
                            ASSERT_EQ(tables[p].positive[i], own.positive[i]) << PathName(path) << " row " << i;
                            for (uint64_t js = own.positive[i]; js != 0; js &= js - 1, ++positive)
                                ASSERT_EQ(tables[p].score[i][__builtin_ctzll(js)], own.score[i][__builtin_ctzll(js)]);
                        }
                    }
                }
            }
    }
    EXPECT_GT(grouped, 20);
    EXPECT_GT(positive, 1000);  // the tables are not empty
}

// What a group takes from the front of a batch: as many probes as fit (at
// most four), never a probe whose edges do not lie as its angle starts say
// (such a record reads back as usable, but is compared on its own); and the
// batch gives every probe its own outcomes all the same.
TEST(ProbeGroups, WhatAGroupTakes) {
    const std::vector<Bytes> small = Templates({20, 20, 20, 20, 20}, 0), large = Templates({50, 50, 50}, 0);
    using Edit = void (*)(Probes&);
    const Edit none = [](Probes&) {};
    const struct {
        const char* what;
        std::vector<Bytes> templates;
        Edit edit;
        int32_t taken;
    } rows[] = {
        {"five: the fifth waits", {small[0], small[2], small[4], small[6], small[8]}, none, 4},
        {"three large probes: the third's edges do not fit", {large[0], large[2], large[4]}, none, 2},
        {"starts edited in the first probe", {small[0], small[2]}, [](Probes& p) { Record(p[0]).angleStart[3][0] = 0; }, 0},
        {"starts edited in the second probe", {small[0], small[2]}, [](Probes& p) { Record(p[1]).angleStart[3][0] = 0; }, 1},
        {"an edge's angle not its range's", {small[0], small[2]},
         [](Probes& p) { Record(p[1]).edgeAngle[3] = static_cast<int16_t>((Record(p[1]).edgeAngle[3] + 1) % 360); }, 1},
        {"an owner of another type", {small[0], small[2]},
         [](Probes& p) {
             Minutia& m = Record(p[0]).storage.minutiae[Record(p[0]).edgeRow[0]];
             m.type = m.type == 1 ? 2 : 1;
         },
         0},
    };
    Bytes packed;
    std::vector<uint32_t> offsets{0};
    for (const Bytes& t : small) {
        packed.resize(offsets.back() + FPMATCH_COMPACT_GALLERY_MAX_SIZE);
        const int32_t n = CompactGalleryTemplate(t.data(), packed.data() + offsets.back(), FPMATCH_COMPACT_GALLERY_MAX_SIZE);
        ASSERT_GT(n, 0);
        offsets.push_back(offsets.back() + static_cast<uint32_t>(n));
    }
    const auto entries = static_cast<int32_t>(small.size());
    std::vector<const ProbeRecord*> three;
    const Probes largeProbes = Prepare({large[0], large[2], large[4]}, &three);
    ASSERT_LE(three[0]->edgeTotal + three[1]->edgeTotal, kGroupEdges);
    ASSERT_GT(three[0]->edgeTotal + three[1]->edgeTotal + three[2]->edgeTotal, kGroupEdges) << "must overflow a group";
    for (const auto& row : rows) {
        std::vector<const ProbeRecord*> records;
        Probes probes = Prepare(row.templates, &records);
        row.edit(probes);
        std::vector<const PreparedProbe*> pointers;
        std::vector<int32_t> own(static_cast<size_t>(entries) * probes.size(), -9), batch(own.size(), -9);
        for (size_t p = 0; p < probes.size(); ++p) {
            pointers.push_back(probes[p].get());
            ASSERT_EQ(MatchPreparedCompactPacked(probes[p].get(), packed.data(), offsets.back(), offsets.data(), 0,
                                                 entries, own.data() + p * static_cast<size_t>(entries)),
                      entries)
                << row.what << ": every probe reads back as usable";
        }
        auto group = std::make_unique<ProbeGroup>();
        EXPECT_EQ(GroupProbes(records.data(), static_cast<int32_t>(records.size()), group.get()), row.taken) << row.what;
        ASSERT_EQ(MatchPreparedCompactPackedBatch(pointers.data(), static_cast<int32_t>(pointers.size()), packed.data(),
                                                  offsets.back(), offsets.data(), 0, entries, batch.data()),
                  entries);
        EXPECT_EQ(batch, own) << row.what;
    }
}

}  // namespace
