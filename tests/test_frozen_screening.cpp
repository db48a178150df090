// Frozen screening results: QuickSort over generated candidate lists that
// reach its unusual paths, and over the FVC2002 records as short templates,
// compared with the committed corpus tests/corpus/quicksort.txt.
//
// One line per case:  CASE RESULT P0 P1 ... P31
// RESULT is QuickSort's return value and P0..P31 the result array, which is
// filled with 5 before the call so that untouched entries show. FVC2002 cases
// name their positions by file (DB1_B/101_1), -1 where empty.
//
// The corpus was written by the implementation it freezes; every later change
// must reproduce it exactly, tie orders included. To write it again (only for
// an intended and explained change of results):
//   build/tests/test_frozen_screening --write tests/corpus/quicksort.txt
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using fpmatch::test::Bytes;
using fpmatch::samples::Random;

constexpr int kBest = FPMATCH_SCREEN_BEST;
constexpr int32_t kUntouched = 5;

// ---- Short templates ---------------------------------------------------------

struct Pt {
    int32_t x, y, angle, type;
    int32_t quality = 7;
};

uint32_t Pack(const Pt& p) {
    return (static_cast<uint32_t>(p.x) & 0x1FFu) << 23 | (static_cast<uint32_t>(p.y) & 0x1FFu) << 14 |
           (static_cast<uint32_t>(p.angle) & 0x1FFu) << 5 | (static_cast<uint32_t>(p.quality) & 0xFu) << 1 |
           (static_cast<uint32_t>(p.type) & 1u);
}

// A 512-byte short template holding the first 50 of `points`; the count byte
// is their number unless `countByte` says otherwise.
Bytes Short(const std::vector<Pt>& points, int countByte = -1, uint8_t version = 3, uint8_t format = 1) {
    Bytes r(512, 0);
    r[0] = version;
    r[1] = format;
    r[2] = 60;
    r[3] = static_cast<uint8_t>(countByte >= 0 ? countByte : static_cast<int>(points.size()));
    for (size_t i = 0; i < points.size() && i < 50; ++i) {
        const uint32_t w = Pack(points[i]);
        for (int b = 0; b < 4; ++b) r[56 + 4 * i + b] = static_cast<uint8_t>(w >> (24 - 8 * b));
    }
    return r;
}

std::vector<Pt> Points(const std::vector<Minutia>& minutiae) {
    std::vector<Pt> out;
    for (const Minutia& m : minutiae) out.push_back({m.x, m.y, m.angle, m.type, m.quality});
    return out;
}

std::vector<Pt> Finger(uint64_t seed, int count) { return Points(fpmatch::samples::MakeFinger(seed, count)); }

std::vector<Pt> Impression(uint64_t fingerSeed, int count, uint64_t seed, int noise) {
    fpmatch::samples::ImpressionOptions o;
    o.positionNoise = 1 + noise;
    o.angleNoise = 2 + 2 * noise;
    o.dropPercent = 5 + 5 * noise;
    o.spurious = noise;
    return Points(fpmatch::samples::MakeImpression(fpmatch::samples::MakeFinger(fingerSeed, count), seed, o));
}

// Points anywhere in the 9-bit fields (distances up to 723 pixels).
std::vector<Pt> Scattered(Random& random, int count, int32_t maxCoordinate, int32_t maxAngle) {
    std::vector<Pt> out;
    for (int i = 0; i < count; ++i)
        out.push_back({random.Range(0, maxCoordinate), random.Range(0, maxCoordinate), random.Range(0, maxAngle),
                       random.Range(0, 1), random.Range(0, 15)});
    return out;
}

Bytes RandomBytes(Random& random) {
    Bytes r(512);
    for (auto& b : r) b = static_cast<uint8_t>(random.Next());
    return r;
}

// The two-minutia probe of the screening tests and candidates made of
// clusters of coincident ridge endings that score exactly `score` against it.
Bytes CountingProbe() { return Short({{100, 100, 90, 0}, {103, 100, 90, 0}}); }

Bytes CandidateScoring(int32_t score) {
    const int32_t rest = score % 3;
    std::vector<int> clusters{(score - rest) / 3 + 2};
    for (int32_t k = 0; k < rest; ++k) clusters.push_back(2);
    const Pt places[] = {{20, 20, 90, 0}, {80, 200, 90, 0}, {200, 60, 90, 0}, {150, 250, 90, 0}};
    std::vector<Pt> points;
    for (size_t c = 0; c < clusters.size(); ++c)
        for (int k = 0; k < clusters[c]; ++k) points.push_back(places[c]);
    for (int k = 0; k < 3; ++k) points.push_back({240, 280, 0, 1});
    return Short(points);
}

// ---- Cases -------------------------------------------------------------------

struct Case {
    std::string id;
    Bytes probe;
    std::vector<Bytes> list;
    int32_t count = -2;  // -2: the list's size
    bool nullProbe = false, nullList = false, nullBest = false;
};

using Sink = std::function<void(Case&&)>;

std::string Run(const Case& c, const std::vector<std::string>* names = nullptr) {
    Bytes list;
    for (const Bytes& r : c.list) list.insert(list.end(), r.begin(), r.end());
    const int32_t count = c.count == -2 ? static_cast<int32_t>(c.list.size()) : c.count;
    int32_t best[kBest];
    for (int32_t& b : best) b = kUntouched;
    const int32_t rc = QuickSort(c.nullProbe ? nullptr : c.probe.data(), c.nullList ? nullptr : list.data(), count,
                                 c.nullBest ? nullptr : best);
    std::ostringstream line;
    line << c.id << ' ' << rc;
    for (int32_t b : best) {
        if (names != nullptr && b >= 0 && b < static_cast<int32_t>(names->size()))
            line << ' ' << (*names)[static_cast<size_t>(b)];
        else
            line << ' ' << b;
    }
    return line.str();
}

void ApiCases(const Sink& sink) {
    const Bytes probe = Short(Finger(11, 30));
    const std::vector<Bytes> list{Short(Impression(11, 30, 1, 0)), Short(Finger(12, 30)), probe};
    sink({"api/count-negative", probe, list, -1});
    sink({"api/count-lowest", probe, list, INT32_MIN});
    sink({"api/count-zero", probe, list, 0});
    sink({"api/count-below-list", probe, list, 2});
    sink({"api/whole-list", probe, list});
    sink({"api/null-probe", probe, list, -2, true});
    sink({"api/null-list", probe, {}, 1000, false, true});
    sink({"api/null-list-negative", probe, {}, -1, false, true});
    sink({"api/null-best", probe, list, -2, false, false, true});
    sink({"api/null-best-negative", probe, list, -1, false, false, true});
    sink({"api/probe-count-0-null-list", Short({}, 0), {}, 1000, false, true});
    sink({"api/probe-count-0", Short(Finger(11, 30), 0), list});
    Bytes oddProbe = probe;
    oddProbe[0] = 0x77;
    oddProbe[1] = 0x02;
    sink({"api/probe-marker-not-tested", oddProbe, list});
    Bytes noisyProbe = probe;
    for (size_t k = 4; k < 56; ++k) noisyProbe[k] = static_cast<uint8_t>(k * 37);
    for (size_t k = 56 + 4 * 30; k < 512; ++k) noisyProbe[k] = static_cast<uint8_t>(k * 91);
    sink({"api/probe-bytes-outside-minutiae", noisyProbe, list});
}

// Probe and candidate minutia counts 0, 1, 2, 3, ... 50 and count bytes above
// 50 (records then full of minutiae).
void CountCases(const Sink& sink) {
    const int counts[] = {0, 1, 2, 3, 4, 5, 8, 12, 20, 30, 40, 49, 50, 51, 52, 100, 255};
    for (int np : counts) {
        const int real = np > 50 ? 50 : np;
        const uint64_t fingerSeed = 300 + static_cast<uint64_t>(np);
        std::vector<Pt> probePoints = Finger(fingerSeed, real == 0 ? 1 : real);
        if (real == 0) probePoints.clear();
        std::vector<Bytes> list;
        for (int nc : counts) {
            const int cr = nc > 50 ? 50 : nc;
            // The probe finger seen again, cut or extended to cr minutiae.
            std::vector<Pt> same = Impression(fingerSeed, real == 0 ? 10 : real, 1000 + nc, 0);
            const std::vector<Pt> extra = Finger(fingerSeed + 5000, 50);
            for (size_t k = 0; same.size() < static_cast<size_t>(cr); ++k) same.push_back(extra[k]);
            same.resize(static_cast<size_t>(cr));
            list.push_back(Short(same, nc));
            // The probe's own minutiae in the same and in rotated list order.
            std::vector<Pt> own = probePoints;
            own.resize(static_cast<size_t>(std::min<size_t>(own.size(), static_cast<size_t>(cr))));
            list.push_back(Short(own, nc));
            if (!own.empty()) std::rotate(own.begin(), own.begin() + static_cast<long>(own.size() / 3), own.end());
            list.push_back(Short(own, nc));
            list.push_back(Short(Finger(fingerSeed + 7000 + static_cast<uint64_t>(nc), cr == 0 ? 1 : cr), nc));
        }
        Bytes probe = Short(probePoints, np);
        if (np > 50) {
            // Minutiae beyond the 50th slot do not exist in the record; the
            // bytes after the minutia area are not minutiae either.
            for (size_t k = 256; k < 512; ++k) probe[k] = 0xFF;
        }
        sink({"counts/probe-" + std::to_string(np), probe, list});
    }
    // Candidate lists of 1, 2, 31, 32, 33, 50, 64 and 200 entries.
    for (int length : {1, 2, 31, 32, 33, 50, 64, 200}) {
        std::vector<Bytes> list;
        for (int k = 0; k < length; ++k)
            list.push_back(Short(Impression(400, 35, 2000 + static_cast<uint64_t>(k), k % 4)));
        sink({"counts/list-" + std::to_string(length), Short(Finger(400, 35)), list});
    }
}

// Coincident minutiae on either side.
void CoincidentCases(const Sink& sink) {
    for (int variant = 0; variant < 6; ++variant) {
        std::vector<Pt> probe = Finger(500 + static_cast<uint64_t>(variant), 30);
        // Pairs and triples at the same place, other directions and types.
        for (size_t k = 0; k + 2 < probe.size(); k += 3 + static_cast<size_t>(variant)) {
            probe[k + 1].x = probe[k].x;
            probe[k + 1].y = probe[k].y;
            if (variant % 2) probe[k + 2] = {probe[k].x, probe[k].y, (probe[k].angle + 180) % 360, 1 - probe[k].type};
        }
        std::vector<Bytes> list;
        list.push_back(Short(probe));
        std::vector<Pt> reordered = probe;
        std::reverse(reordered.begin(), reordered.end());
        list.push_back(Short(reordered));
        list.push_back(Short(Impression(500 + static_cast<uint64_t>(variant), 30, 7, 1)));
        std::vector<Pt> clustered = Finger(600 + static_cast<uint64_t>(variant), 20);
        for (size_t k = 1; k < clustered.size(); k += 2) clustered[k] = clustered[k - 1];
        list.push_back(Short(clustered));
        list.push_back(Short(std::vector<Pt>(50, probe[0])));
        list.push_back(Short(std::vector<Pt>(3, probe[1])));
        list.push_back(Short(std::vector<Pt>(1, probe[2])));
        sink({"coincident/probe-" + std::to_string(variant), Short(probe), list});
    }
    // Every probe minutia at one place: rows of terminators only.
    for (int n : {2, 3, 50}) {
        const std::vector<Pt> same(static_cast<size_t>(n), Pt{128, 144, 90, 0});
        std::vector<Bytes> list{Short(same), Short(Finger(700, 30)), CandidateScoring(30)};
        sink({"coincident/all-at-one-place-" + std::to_string(n), Short(same), list});
    }
    // Two probe minutiae sharing a place with a third nearby.
    const std::vector<Pt> trio{{100, 100, 90, 0}, {100, 100, 270, 0}, {103, 100, 90, 0}};
    std::vector<Bytes> ladder;
    for (int32_t s = 8; s <= 47; ++s) ladder.push_back(CandidateScoring(s));
    sink({"coincident/trio-ladder", Short(trio), ladder});
}

// Coordinates across the whole 9-bit fields: distances of 400 and more on
// both sides.
void FarCases(const Sink& sink) {
    Random random(77);
    for (int variant = 0; variant < 12; ++variant) {
        const int n = 10 + 4 * variant;
        std::vector<Pt> probe = Scattered(random, n > 50 ? 50 : n, 511, 359);
        if (variant % 3 == 1) {
            // Half of them inside the image.
            const std::vector<Pt> inside = Finger(800 + static_cast<uint64_t>(variant), 25);
            for (size_t k = 0; k < probe.size() && k < inside.size(); k += 2) probe[k] = inside[k];
        }
        std::vector<Bytes> list;
        list.push_back(Short(probe));
        std::vector<Pt> shifted = probe;
        for (Pt& p : shifted) {
            p.x = std::min(511, p.x + 3);
            p.y = std::max(0, p.y - 2);
            p.angle = (p.angle + 2) % 360;
        }
        list.push_back(Short(shifted));
        for (int k = 0; k < 10; ++k) list.push_back(Short(Scattered(random, random.Range(1, 50), 511, 359)));
        list.push_back(Short({{0, 0, 0, 0}, {511, 511, 0, 0}, {0, 511, 0, 0}, {511, 0, 0, 0}}));
        list.push_back(Short({{0, 0, 45, 1}, {511, 511, 45, 1}, {0, 0, 45, 1}, {511, 511, 45, 1}}));
        sink({"far/probe-" + std::to_string(variant), Short(probe), list});
    }
    // Full probe rows and candidate edges of about 700 pixels.
    std::vector<Pt> line;
    for (int i = 0; i < 50; ++i) line.push_back({5 * i, 3 * i, 0, 0});
    std::vector<Pt> far;
    for (int i = 0; i < 50; ++i) far.push_back(i % 2 ? Pt{511, 478, 0, 0} : Pt{0, 0, 0, 0});
    sink({"far/beyond-the-terminator", Short(line), {Short(far), Short(line), Short(far)}});
}

// Directions around 0 and 360 and up to 511.
void AngleCases(const Sink& sink) {
    const int32_t special[] = {0, 1, 2, 8, 9, 179, 180, 181, 351, 352, 358, 359, 360, 361, 368, 369, 400, 510, 511};
    Random random(91);
    for (int variant = 0; variant < 8; ++variant) {
        std::vector<Pt> probe = Finger(900 + static_cast<uint64_t>(variant), 30);
        for (Pt& p : probe) p.angle = special[random.Range(0, static_cast<int32_t>(std::size(special)) - 1)];
        std::vector<Bytes> list;
        list.push_back(Short(probe));
        for (int32_t offset : {1, 8, 9, 180, 352, 359, 360}) {
            std::vector<Pt> turned = probe;
            for (Pt& p : turned) p.angle = (p.angle + offset) % 512;
            list.push_back(Short(turned));
        }
        std::vector<Pt> wrapped = probe;
        for (Pt& p : wrapped) p.angle = p.angle < 152 ? p.angle + 360 : p.angle;
        list.push_back(Short(wrapped));
        list.push_back(Short(Impression(900 + static_cast<uint64_t>(variant), 30, 5, 1)));
        sink({"angles/probe-" + std::to_string(variant), Short(probe), list});
    }
    // Directions anywhere in 0..511 on both sides.
    for (int variant = 0; variant < 6; ++variant) {
        std::vector<Pt> probe = Finger(950 + static_cast<uint64_t>(variant), 40);
        for (Pt& p : probe) p.angle = random.Range(0, 511);
        std::vector<Bytes> list{Short(probe)};
        for (int k = 0; k < 12; ++k) {
            std::vector<Pt> other = probe;
            for (Pt& p : other) p.angle = (p.angle + random.Range(-10, 10) + 512) % 512;
            if (k % 3 == 0) std::rotate(other.begin(), other.begin() + k, other.end());
            list.push_back(Short(other));
        }
        sink({"angles/any-" + std::to_string(variant), Short(probe), list});
    }
}

// The marker bytes: only 03 01 candidates are screened.
void MarkerCases(const Sink& sink) {
    const Bytes probe = Short(Finger(1100, 35));
    const uint8_t markers[][2] = {{3, 1}, {3, 2}, {2, 1}, {0, 0}, {1, 3}, {0xFF, 0xFF}, {3, 0}, {0x83, 1}, {3, 0x81}};
    std::vector<Bytes> list;
    for (const auto& m : markers) {
        Bytes r = Short(Impression(1100, 35, 3, 0));
        r[0] = m[0];
        r[1] = m[1];
        list.push_back(r);
        list.push_back(Short(Finger(1100, 35), -1, m[0], m[1]));
    }
    sink({"markers/mixed", probe, list});
    std::vector<Bytes> none;
    for (size_t k = 1; k < std::size(markers); ++k) none.push_back(Short(Finger(1100, 35), -1, markers[k][0], markers[k][1]));
    sink({"markers/none-valid", probe, none});
}

// Equal scores and tie orders.
void TieCases(const Sink& sink) {
    const Bytes counting = CountingProbe();
    sink({"ties/counting-20-30-20-40", counting,
          {CandidateScoring(20), CandidateScoring(30), CandidateScoring(20), CandidateScoring(40)}});
    std::vector<Bytes> ascending;
    for (int32_t s = 6; s <= 47; ++s) ascending.push_back(CandidateScoring(s));
    sink({"ties/counting-ascending", counting, ascending});
    std::vector<Bytes> descending(ascending.rbegin(), ascending.rend());
    sink({"ties/counting-descending", counting, descending});
    sink({"ties/counting-33-equal", counting, std::vector<Bytes>(33, CandidateScoring(10))});
    std::vector<Bytes> pushed(33, CandidateScoring(10));
    pushed.push_back(CandidateScoring(11));
    pushed.push_back(CandidateScoring(10));
    pushed.push_back(CandidateScoring(9));
    sink({"ties/counting-pushed", counting, pushed});
    std::vector<Bytes> alternating;
    for (int k = 0; k < 70; ++k) alternating.push_back(CandidateScoring(k % 2 ? 12 : 8 + k % 5));
    sink({"ties/counting-alternating", counting, alternating});

    const Bytes probe = Short(Finger(1200, 30));
    const Bytes same = Short(Impression(1200, 30, 9, 1));
    sink({"ties/100-equal", probe, std::vector<Bytes>(100, same)});
    std::vector<Bytes> interleaved;
    for (int k = 0; k < 90; ++k)
        interleaved.push_back(k % 3 == 0 ? same : Short(Impression(1200, 30, static_cast<uint64_t>(k % 7), k % 3)));
    sink({"ties/interleaved", probe, interleaved});
}

// Candidates drifting away from the probe: many distinct scores, so the order
// depends on every count.
void GradientCases(const Sink& sink) {
    for (int variant = 0; variant < 12; ++variant) {
        const int n = 10 + 4 * variant;
        const uint64_t seed = 1300 + static_cast<uint64_t>(variant);
        std::vector<Bytes> list;
        for (int k = 0; k < 48; ++k) list.push_back(Short(Impression(seed, n > 50 ? 50 : n, 100 + static_cast<uint64_t>(k), k / 8)));
        sink({"gradient/probe-" + std::to_string(n), Short(Finger(seed, n > 50 ? 50 : n)), list});
    }
}

// Random probes and lists: fingers, scattered points, mutated copies and
// arbitrary bytes.
void RandomCases(const Sink& sink) {
    Random random(2026);
    for (int c = 0; c < 300; ++c) {
        const uint64_t seed = 5000 + static_cast<uint64_t>(c);
        const int n = random.Range(1, 50);
        std::vector<Pt> probePoints;
        Bytes probe;
        const int probeKind = random.Range(0, 9);
        if (probeKind <= 5) {
            probePoints = Finger(seed, n);
        } else if (probeKind <= 7) {
            probePoints = Scattered(random, n, probeKind == 6 ? 300 : 511, probeKind == 6 ? 359 : 511);
        }
        if (probeKind <= 7) {
            probe = Short(probePoints);
        } else {
            probe = RandomBytes(random);
            if (probeKind == 8) probe[3] = static_cast<uint8_t>(n);
        }
        const int length = random.Range(0, 9) == 0 ? random.Range(60, 150) : random.Range(0, 45);
        std::vector<Bytes> list;
        for (int k = 0; k < length; ++k) {
            const int kind = random.Range(0, 9);
            const int m = random.Range(1, 50);
            if (kind <= 2 && probeKind <= 5) {
                list.push_back(Short(Impression(seed, n, seed * 100 + static_cast<uint64_t>(k), random.Range(0, 4))));
            } else if (kind <= 4 && !probePoints.empty()) {
                std::vector<Pt> copy = probePoints;
                const int rotate = random.Range(0, static_cast<int32_t>(copy.size()) - 1);
                std::rotate(copy.begin(), copy.begin() + rotate, copy.end());
                for (Pt& p : copy) {
                    p.x = std::clamp(p.x + random.Range(-3, 3), 0, 511);
                    p.y = std::clamp(p.y + random.Range(-3, 3), 0, 511);
                    p.angle = (p.angle + random.Range(-6, 6) + 512) % 512;
                }
                copy.resize(static_cast<size_t>(std::min<int>(m, static_cast<int>(copy.size()))));
                list.push_back(Short(copy));
            } else if (kind <= 6) {
                list.push_back(Short(Finger(seed * 31 + static_cast<uint64_t>(k), m)));
            } else if (kind == 7) {
                list.push_back(Short(Scattered(random, m, 511, random.Range(0, 1) ? 359 : 511)));
            } else {
                Bytes r = RandomBytes(random);
                if (random.Range(0, 3) != 0) {
                    r[0] = 3;
                    r[1] = 1;
                }
                if (random.Range(0, 1)) r[3] = static_cast<uint8_t>(m);
                list.push_back(r);
            }
        }
        char id[32];
        std::snprintf(id, sizeof id, "random/%03d", c);
        sink({id, probe, list});
    }
}

void ForEachGeneratedCase(const Sink& sink) {
    ApiCases(sink);
    CountCases(sink);
    CoincidentCases(sink);
    FarCases(sink);
    AngleCases(sink);
    MarkerCases(sink);
    TieCases(sink);
    GradientCases(sink);
    RandomCases(sink);
}

std::vector<std::string> GeneratedLines() {
    std::vector<std::string> lines;
    ForEachGeneratedCase([&](Case&& c) { lines.push_back(Run(c)); });
    return lines;
}

// ---- FVC2002 cases -------------------------------------------------------------

// Every probe against the whole list as the records stand (counts above 50
// cut to 50), against the whole list adapted (AdaptIsoRecord), and against its
// own database in reverse order. Empty when the data is absent or incomplete.
std::vector<std::string> FvcLines(std::string* why) {
    const auto fvc = fpmatch::test::LoadFvc();
    if (fvc.size() != 320) {
        *why = fvc.empty() ? "FVC2002 templates not found beside the checkout"
                           : "FVC2002 folder incomplete: " + std::to_string(fvc.size()) + " of 320 templates";
        return {};
    }
    std::vector<std::string> names;
    std::vector<Bytes> asIs, adapted;
    for (const auto& t : fvc) {
        names.push_back(t.database + "/" + std::to_string(t.finger) + "_" + std::to_string(t.impression));
        for (int pass = 0; pass < 2; ++pass) {
            Bytes iso = t.bytes;
            if (pass == 0) {
                if (iso[27] > 50) iso[27] = 50;
            } else {
                Bytes out(iso.size() + 16);
                const int32_t n = AdaptIsoRecord(iso.data(), iso.size(), out.data(), out.size());
                out.resize(n > 0 ? static_cast<size_t>(n) : 0);
                iso = out;
            }
            iso.resize(std::max<size_t>(iso.size(), 512), 0);
            fpmatch::test::OwnedFeatureSet owned;
            Bytes s(512, 0);  // a record that fails to convert stays all zero (no marker)
            if (owned.Decode(iso) == 0) WriteShortTemplate(&owned.fs, s.data(), s.size());
            (pass == 0 ? asIs : adapted).push_back(s);
        }
    }
    std::vector<std::string> lines;
    for (size_t p = 0; p < fvc.size(); ++p)
        lines.push_back(Run({"fvc/as-is/" + names[p], asIs[p], asIs}, &names));
    for (size_t p = 0; p < fvc.size(); ++p)
        lines.push_back(Run({"fvc/adapted/" + names[p], adapted[p], adapted}, &names));
    for (size_t p = 0; p < fvc.size(); ++p) {
        std::vector<Bytes> own;
        std::vector<std::string> ownNames;
        for (size_t k = fvc.size(); k-- > 0;) {
            if (fvc[k].database != fvc[p].database) continue;
            own.push_back(asIs[k]);
            ownNames.push_back(names[k]);
        }
        lines.push_back(Run({"fvc/database-reversed/" + names[p], asIs[p], own}, &ownNames));
    }
    return lines;
}

// ---- Corpus file ---------------------------------------------------------------

std::string CorpusPath() { return std::string(FPMATCH_SOURCE_DIR) + "/tests/corpus/quicksort.txt"; }

std::string IdOf(const std::string& line) { return line.substr(0, line.find(' ')); }

// Corpus lines whose case id starts with `prefix`, in file order.
std::vector<std::string> CorpusLines(const std::string& prefix) {
    std::ifstream in(CorpusPath());
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '#' && line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    return out;
}

// Compares recomputed lines with the corpus, naming the first differing case.
void ExpectFrozen(const std::vector<std::string>& expected, const std::vector<std::string>& actual) {
    ASSERT_FALSE(expected.empty()) << "no cases in " << CorpusPath();
    std::map<std::string, std::string> computed;
    for (const auto& line : actual) computed[IdOf(line)] = line;
    size_t differing = 0;
    std::string first;
    for (const auto& want : expected) {
        const auto it = computed.find(IdOf(want));
        const std::string got = it == computed.end() ? "(case no longer generated)" : it->second;
        if (got == want) continue;
        if (differing++ == 0) first = "first differing case " + IdOf(want) + "\n  expected: " + want + "\n  actual:   " + got;
    }
    EXPECT_EQ(differing, 0u) << differing << " of " << expected.size() << " cases differ; " << first;
    EXPECT_EQ(actual.size(), expected.size()) << "the generator and the corpus hold different case lists";
}

TEST(FrozenScreening, GeneratedCases) {
    std::vector<std::string> expected;
    for (const auto& line : CorpusLines(""))
        if (line.compare(0, 4, "fvc/") != 0) expected.push_back(line);
    ExpectFrozen(expected, GeneratedLines());
}

TEST(FrozenScreening, Fvc2002Cases) {
    std::string why;
    const auto lines = FvcLines(&why);
    if (lines.empty()) GTEST_SKIP() << why;
    ExpectFrozen(CorpusLines("fvc/"), lines);
}

int WriteCorpus(const char* path) {
    std::ofstream out(path);
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path);
        return 1;
    }
    out << "# QuickSort results frozen from the implementation of the time; checked by tests/test_frozen_screening.cpp.\n"
           "# CASE RESULT P0 .. P31: return value and result array (filled with 5 before the call);\n"
           "# FVC2002 cases name positions by file, -1 where empty.\n";
    const auto generated = GeneratedLines();
    for (const auto& line : generated) out << line << '\n';
    std::string why;
    const auto fvc = FvcLines(&why);
    for (const auto& line : fvc) out << line << '\n';
    std::printf("wrote %zu generated and %zu FVC2002 cases to %s\n", generated.size(), fvc.size(), path);
    if (fvc.empty()) std::printf("note: no FVC2002 cases: %s\n", why.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--write") == 0) return WriteCorpus(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
