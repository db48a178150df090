// Probe groups, the batch comparison's shared walk, against each probe's own
// walk: the same pair scores on every code path, and the probes a group
// cannot take left to their own.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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

// ISO records padded to the 328 bytes every comparison may read.
Bytes Padded(Bytes b) {
    b.resize(std::max<size_t>(b.size(), 328), 0);
    return b;
}

struct Probe {
    std::unique_ptr<PreparedProbe> prepared = std::make_unique<PreparedProbe>();
    ProbeRecord& record() { return *reinterpret_cast<ProbeRecord*>(prepared.get()); }
};

// Templates of synthetic fingers of the given minutia counts (two
// impressions each: a probe's mate is in the gallery), then up to `fvc`
// FVC2002 templates when present.
std::vector<Bytes> Templates(const std::vector<int>& counts, size_t fvc) {
    std::vector<Bytes> out;
    samples::Random rng(20261209);
    for (const int count : counts) {
        const auto finger = samples::MakeFinger(rng.Next(), count);
        for (int e = 0; e < 2; ++e) out.push_back(Padded(samples::MakeIsoRecord(samples::MakeImpression(finger, rng.Next()), 60)));
    }
    const auto real = fpmatch::test::LoadFvc();
    for (size_t k = 0; k < real.size() && k < fvc; ++k) {
        const Bytes& raw = real[k * 7 % real.size()].bytes;
        Bytes adapted(1024);
        const int32_t n = AdaptIsoRecord(raw.data(), raw.size(), adapted.data(), adapted.size());
        if (n <= 0) continue;
        adapted.resize(static_cast<size_t>(n));
        out.push_back(Padded(adapted));
    }
    return out;
}

std::vector<Probe> Prepare(const std::vector<Bytes>& templates) {
    std::vector<Probe> probes(templates.size());
    for (size_t k = 0; k < templates.size(); ++k)
        EXPECT_EQ(PrepareProbe(templates[k].data(), probes[k].prepared.get()), FPMATCH_DECODED) << k;
    return probes;
}

std::vector<const ProbeRecord*> Records(std::vector<Probe>& probes) {
    std::vector<const ProbeRecord*> out;
    for (Probe& p : probes) out.push_back(&p.record());
    return out;
}

// The pair scores that matter: which pairs score, and what.
void ExpectSameTable(const PairScoreTable& got, const PairScoreTable& own, int32_t nP, int32_t nG, const char* what) {
    for (int32_t i = 0; i < nP; ++i) {
        ASSERT_EQ(got.positive[i], own.positive[i]) << what << " row " << i;
        for (int32_t j = 0; j < nG; ++j)
            if (own.positive[i] >> j & 1) {
                ASSERT_EQ(got.score[i][j], own.score[i][j]) << what << " pair " << i << ", " << j;
            }
    }
}

// Groups of every size give each probe its own table, on every path:
// synthetic probes of 12 to 50 minutiae and FVC2002 records against every
// template of the set.
TEST(ProbeGroups, EachProbeGetsItsOwnTablesOnEveryPath) {
    const std::vector<Bytes> templates = Templates({12, 30, 50, 24, 40, 18, 50, 33}, 24);
    std::vector<Probe> probes = Prepare(templates);
    const std::vector<const ProbeRecord*> records = Records(probes);
    std::vector<std::unique_ptr<PreparedGallery>> galleries;
    for (const Bytes& t : templates) {
        galleries.push_back(std::make_unique<PreparedGallery>());
        ASSERT_EQ(PrepareGallery(t.data(), galleries.back().get()), FPMATCH_DECODED);
    }
    int32_t grouped = 0, positive = 0;
    for (int32_t path = 0; path < kPathCount; ++path) {
        if (!(SupportedPaths() & 1 << path)) continue;
        for (int32_t size = 2; size <= kGroupProbes; ++size) {
            for (size_t first = 0; first + static_cast<size_t>(size) <= records.size(); first += static_cast<size_t>(size)) {
                auto group = std::make_unique<ProbeGroup>();
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
                        ExpectSameTable(tables[p], own, probe.header.minutiaCount, gallery.header.minutiaCount,
                                        PathName(path));
                        for (int32_t i = 0; i < probe.header.minutiaCount; ++i)
                            positive += __builtin_popcountll(own.positive[i]);
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
// (such a record reads back as usable, but is compared on its own).
TEST(ProbeGroups, WhatAGroupTakes) {
    const std::vector<Bytes> small = Templates({20, 20, 20, 20, 20}, 0);
    const std::vector<Bytes> large = Templates({50, 50, 50}, 0);
    struct Row {
        const char* what;
        std::vector<Bytes> templates;
        void (*edit)(std::vector<Probe>&);
        int32_t taken;
    };
    auto none = [](std::vector<Probe>&) {};
    const Row rows[] = {
        {"one probe", {small[0]}, none, 1},
        {"four small probes", {small[0], small[2], small[4], small[6]}, none, 4},
        {"five: the fifth waits", {small[0], small[2], small[4], small[6], small[8]}, none, 4},
        {"three large probes: the third's edges do not fit", {large[0], large[2], large[4]}, none, 2},
        {"starts edited in the first probe", {small[0], small[2]},
         [](std::vector<Probe>& p) { p[0].record().angleStart[3][0] = 0; }, 0},
        {"starts edited in the second probe", {small[0], small[2]},
         [](std::vector<Probe>& p) { p[1].record().angleStart[3][0] = 0; }, 1},
        {"an edge's angle not its range's", {small[0], small[2]},
         [](std::vector<Probe>& p) { p[1].record().edgeAngle[3] = static_cast<int16_t>((p[1].record().edgeAngle[3] + 1) % 360); }, 1},
        {"an owner of another type", {small[0], small[2]},
         [](std::vector<Probe>& p) {
             Minutia& m = p[0].record().storage.minutiae[p[0].record().edgeRow[0]];
             m.type = m.type == 1 ? 2 : 1;
         },
         0},
    };
    {
        std::vector<Probe> three = Prepare({large[0], large[2], large[4]});
        const int32_t a = three[0].record().edgeTotal, b = three[1].record().edgeTotal, c = three[2].record().edgeTotal;
        ASSERT_LE(a + b, kGroupEdges);
        ASSERT_GT(a + b + c, kGroupEdges) << "the large probes' edges must overflow a group";
    }
    for (const Row& row : rows) {
        std::vector<Probe> probes = Prepare(row.templates);
        row.edit(probes);
        const std::vector<const ProbeRecord*> records = Records(probes);
        for (const ProbeRecord* r : records)
            ASSERT_NE(UsableProbe(reinterpret_cast<const PreparedProbe*>(r)), nullptr) << row.what;
        auto group = std::make_unique<ProbeGroup>();
        EXPECT_EQ(GroupProbes(records.data(), static_cast<int32_t>(records.size()), group.get()), row.taken) << row.what;

        // The batch gives each probe its own outcomes all the same.
        Bytes packed;
        std::vector<uint32_t> offsets{0};
        for (const Bytes& t : small) {
            uint8_t compact[FPMATCH_COMPACT_GALLERY_MAX_SIZE];
            const int32_t n = CompactGalleryTemplate(t.data(), compact, sizeof compact);
            ASSERT_GT(n, 0);
            packed.insert(packed.end(), compact, compact + n);
            offsets.push_back(static_cast<uint32_t>(packed.size()));
        }
        const auto entries = static_cast<int32_t>(small.size()), count = static_cast<int32_t>(probes.size());
        std::vector<const PreparedProbe*> pointers;
        std::vector<int32_t> own;
        for (Probe& p : probes) {
            pointers.push_back(p.prepared.get());
            std::vector<int32_t> one(static_cast<size_t>(entries));
            ASSERT_EQ(MatchPreparedCompactPacked(p.prepared.get(), packed.data(), packed.size(), offsets.data(), 0,
                                                 entries, one.data()),
                      entries);
            own.insert(own.end(), one.begin(), one.end());
        }
        std::vector<int32_t> batch(own.size(), -9);
        ASSERT_EQ(MatchPreparedCompactPackedBatch(pointers.data(), count, packed.data(), packed.size(), offsets.data(), 0,
                                                  entries, batch.data()),
                  entries);
        EXPECT_EQ(batch, own) << row.what;
    }
}

}  // namespace
