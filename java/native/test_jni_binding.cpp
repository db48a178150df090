// The JNI functions driven through a fake JNI environment: every JNI call is
// logged, only GetArrayLength and the Get/Release calls of byte, int and long
// array elements exist (any other call jumps through a null pointer), and
// each byte array is handed out as a copy that ends right before an
// inaccessible page, so a read past the end of a Java array crashes the
// test. A byte array released with mode 0 gets the copy's bytes back.
#include <jni.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fpmatch.h"
// javac's header for com.vorel.JavaMatcher: a declaration that differs from
// the library's fails to compile here.
#include "com_vorel_JavaMatcher.h"

#include "binding_cases.h"
#include "synthetic.h"

namespace {

using fpmatch::java_test::BindingCase;
using fpmatch::java_test::Bytes;

// A copy of `bytes` whose last byte sits just before a PROT_NONE page.
class GuardedCopy {
public:
    explicit GuardedCopy(const Bytes& bytes) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        dataPages_ = (bytes.size() + page - 1) / page;
        size_ = (dataPages_ + 1) * page;
        void* base = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) std::abort();
        base_ = static_cast<uint8_t*>(base);
        if (mprotect(base_ + dataPages_ * page, page, PROT_NONE) != 0) std::abort();
        data_ = base_ + dataPages_ * page - bytes.size();
        if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedCopy() { munmap(base_, size_); }
    GuardedCopy(const GuardedCopy&) = delete;
    GuardedCopy& operator=(const GuardedCopy&) = delete;
    jbyte* data() const { return reinterpret_cast<jbyte*>(data_); }

private:
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
    size_t dataPages_ = 0;
    size_t size_ = 0;
};

struct FakeArray {
    Bytes bytes;
    bool failGet = false;  // GetByteArrayElements returns null, as when out of memory
    // An int (kind 1) or long (kind 2) array instead, handed out in place.
    std::vector<jint> ints = {};
    std::vector<jlong> longs = {};
    int kind = 0;
};

enum class Op { Length, Get, Release };
struct Call {
    Op op;
    const FakeArray* array;
    jint mode;
    bool isCopyNull;
    bool elementsMatch;
};

struct FakeEnv {
    JNIEnv env;  // first member: the JNIEnv* handed out is a FakeEnv*
    JNINativeInterface_ table;
    std::vector<Call> log;
    std::vector<std::pair<jbyte*, std::unique_ptr<GuardedCopy>>> outstanding;

    FakeEnv() {
        std::memset(&table, 0, sizeof(table));
        table.GetArrayLength = &GetArrayLength;
        table.GetByteArrayElements = &GetByteArrayElements;
        table.ReleaseByteArrayElements = &ReleaseByteArrayElements;
        table.GetIntArrayElements = [](JNIEnv* e, jintArray a, jboolean*) -> jint* {
            Of(e)->log.push_back({Op::Get, ArrayOf(a), 0, true, true});
            return ArrayOf(a)->ints.data();
        };
        table.ReleaseIntArrayElements = [](JNIEnv* e, jintArray a, jint*, jint mode) {
            Of(e)->log.push_back({Op::Release, ArrayOf(a), mode, true, true});
        };
        table.GetLongArrayElements = [](JNIEnv* e, jlongArray a, jboolean*) -> jlong* {
            Of(e)->log.push_back({Op::Get, ArrayOf(a), 0, true, true});
            return ArrayOf(a)->longs.data();
        };
        table.ReleaseLongArrayElements = [](JNIEnv* e, jlongArray a, jlong*, jint mode) {
            Of(e)->log.push_back({Op::Release, ArrayOf(a), mode, true, true});
        };
        env.functions = &table;
    }
    static FakeEnv* Of(JNIEnv* e) { return reinterpret_cast<FakeEnv*>(e); }
    static FakeArray* ArrayOf(jarray a) { return reinterpret_cast<FakeArray*>(a); }

    static jsize JNICALL GetArrayLength(JNIEnv* e, jarray a) {
        Of(e)->log.push_back({Op::Length, ArrayOf(a), 0, true, true});
        const FakeArray* array = ArrayOf(a);
        return static_cast<jsize>(array->kind == 1 ? array->ints.size()
                                  : array->kind == 2 ? array->longs.size()
                                                     : array->bytes.size());
    }
    static jbyte* JNICALL GetByteArrayElements(JNIEnv* e, jbyteArray a, jboolean* isCopy) {
        FakeEnv* self = Of(e);
        self->log.push_back({Op::Get, ArrayOf(a), 0, isCopy == nullptr, true});
        if (ArrayOf(a)->failGet) return nullptr;
        auto copy = std::make_unique<GuardedCopy>(ArrayOf(a)->bytes);
        jbyte* data = copy->data();
        self->outstanding.emplace_back(data, std::move(copy));
        return data;
    }
    static void JNICALL ReleaseByteArrayElements(JNIEnv* e, jbyteArray a, jbyte* elems, jint mode) {
        FakeEnv* self = Of(e);
        bool found = false;
        for (auto it = self->outstanding.begin(); it != self->outstanding.end(); ++it) {
            if (it->first == elems) {
                if (mode != JNI_ABORT) std::memcpy(ArrayOf(a)->bytes.data(), elems, ArrayOf(a)->bytes.size());
                self->outstanding.erase(it);
                found = true;
                break;
            }
        }
        self->log.push_back({Op::Release, ArrayOf(a), mode, true, found});
    }
};

jbyteArray Handle(FakeArray* a) { return reinterpret_cast<jbyteArray>(a); }

struct Result {
    jint score;
    std::vector<Call> log;
    size_t leaked;
};

Result CallMatchTemplates(FakeArray* probes, jint listLength, FakeArray* gallery, jint stride) {
    FakeEnv fake;
    const jint score = Java_com_vorel_JavaMatcher_MatchTemplates(&fake.env, nullptr, Handle(probes), listLength,
                                                                 Handle(gallery), stride);
    return {score, fake.log, fake.outstanding.size()};
}

// The calls of a complete run: both lengths, both arrays obtained (no copy
// flag asked for), then released in the same order, read-only.
void ExpectCompleteProtocol(const Result& r, const FakeArray* probes, const FakeArray* gallery) {
    ASSERT_EQ(r.log.size(), 6u);
    EXPECT_EQ(r.log[0].op, Op::Length);
    EXPECT_EQ(r.log[0].array, probes);
    EXPECT_EQ(r.log[1].op, Op::Length);
    EXPECT_EQ(r.log[1].array, gallery);
    EXPECT_EQ(r.log[2].op, Op::Get);
    EXPECT_EQ(r.log[2].array, probes);
    EXPECT_TRUE(r.log[2].isCopyNull);
    EXPECT_EQ(r.log[3].op, Op::Get);
    EXPECT_EQ(r.log[3].array, gallery);
    EXPECT_TRUE(r.log[3].isCopyNull);
    EXPECT_EQ(r.log[4].op, Op::Release);
    EXPECT_EQ(r.log[4].array, probes);
    EXPECT_EQ(r.log[5].op, Op::Release);
    EXPECT_EQ(r.log[5].array, gallery);
    for (int i : {4, 5}) {
        EXPECT_EQ(r.log[i].mode, JNI_ABORT);
        EXPECT_TRUE(r.log[i].elementsMatch);
    }
    EXPECT_EQ(r.leaked, 0u);
}

std::vector<BindingCase> Cases() { return fpmatch::java_test::MakeBindingCases(FPMATCH_DATA_DIR); }

TEST(JniBinding, EveryCaseScoresAsTheCApi) {
    for (const BindingCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        FakeArray probes{c.probeList}, gallery{c.gallery};
        const Result r = CallMatchTemplates(&probes, c.listLength, &gallery, c.stride);
        EXPECT_EQ(r.score, fpmatch::java_test::ExpectedBest(c));
        if (c.wellFormed) {
            EXPECT_EQ(r.score, fpmatch::java_test::UncheckedBest(c));
        }
        if (c.bestAt >= 0) {
            EXPECT_EQ(r.score, Match2Fp(c.probeList.data() + c.bestAt, c.gallery.data()));
        }
        if (c.galleryCopyExcluded) {
            EXPECT_LT(r.score, Match2Fp(c.gallery.data(), c.gallery.data()));
        }
        ExpectCompleteProtocol(r, &probes, &gallery);
    }
}

TEST(JniBinding, NullArraysAndNonPositiveStrideReturnZeroWithoutJniCalls) {
    const BindingCase c = Cases().front();
    FakeArray probes{c.probeList}, gallery{c.gallery};
    const jint length = static_cast<jint>(c.probeList.size());
    struct Call {
        FakeArray* probes;
        jint listLength;
        FakeArray* gallery;
        jint stride;
    };
    for (const Call call : {Call{nullptr, length, &gallery, c.stride}, Call{&probes, length, nullptr, c.stride},
                            Call{nullptr, length, nullptr, c.stride}, Call{&probes, length, &gallery, 0},
                            Call{&probes, length, &gallery, -c.stride}, Call{&probes, -length, &gallery, -c.stride},
                            Call{&probes, length, &gallery, INT_MIN}, Call{&probes, INT_MIN, &gallery, -1}}) {
        SCOPED_TRACE(testing::Message() << "listLength " << call.listLength << " stride " << call.stride);
        const Result r = CallMatchTemplates(call.probes, call.listLength, call.gallery, call.stride);
        EXPECT_EQ(r.score, 0);
        EXPECT_TRUE(r.log.empty());
    }
}

TEST(JniBinding, FailedGetReleasesWhatWasObtained) {
    const BindingCase c = Cases().front();
    {
        FakeArray probes{c.probeList, true}, gallery{c.gallery};
        const Result r = CallMatchTemplates(&probes, c.listLength, &gallery, c.stride);
        EXPECT_EQ(r.score, 0);
        ASSERT_EQ(r.log.size(), 3u);
        EXPECT_EQ(r.log[2].op, Op::Get);
        EXPECT_EQ(r.log[2].array, &probes);
        EXPECT_EQ(r.leaked, 0u);
    }
    {
        FakeArray probes{c.probeList}, gallery{c.gallery, true};
        const Result r = CallMatchTemplates(&probes, c.listLength, &gallery, c.stride);
        EXPECT_EQ(r.score, 0);
        ASSERT_EQ(r.log.size(), 5u);
        EXPECT_EQ(r.log[2].op, Op::Get);
        EXPECT_EQ(r.log[3].op, Op::Get);
        EXPECT_EQ(r.log[3].array, &gallery);
        EXPECT_EQ(r.log[4].op, Op::Release);
        EXPECT_EQ(r.log[4].array, &probes);
        EXPECT_TRUE(r.log[4].elementsMatch);
        EXPECT_EQ(r.leaked, 0u);
    }
}

// --- checkTemplate, match, nativeAdaptIsoRecord, nativeSearch ------------

Bytes IsoRecord(uint64_t finger, uint64_t impression) {
    using namespace fpmatch::samples;
    return MakeIsoRecord(MakeImpression(MakeFinger(finger, 30), impression), 60);
}

jbyteArray Bytes_(FakeArray& a) { return Handle(&a); }

// A template one byte short of its last minutia ends right before the guard
// page: the checks refuse it without reading past it.
TEST(JniBinding, CheckTemplateAndMatchReadOnlyTheirArrays) {
    const Bytes whole = IsoRecord(31, 1), other = IsoRecord(31, 2);
    const size_t needed = 28 + 6 * static_cast<size_t>(whole[27]);
    ASSERT_LE(needed, whole.size());
    FakeArray a{whole}, b{other}, cut{Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(needed - 1))};
    FakeEnv fake;
    EXPECT_EQ(Java_com_vorel_JavaMatcher_checkTemplate(&fake.env, nullptr, Bytes_(a)), FPMATCH_DECODED);
    EXPECT_EQ(Java_com_vorel_JavaMatcher_checkTemplate(&fake.env, nullptr, Bytes_(cut)), FPMATCH_TRUNCATED);
    EXPECT_EQ(Java_com_vorel_JavaMatcher_checkTemplate(&fake.env, nullptr, nullptr), FPMATCH_NULL_INPUT);
    EXPECT_EQ(Java_com_vorel_JavaMatcher_match(&fake.env, nullptr, Bytes_(a), Bytes_(b)),
              Match2Score(whole.data(), other.data()));
    EXPECT_EQ(Java_com_vorel_JavaMatcher_match(&fake.env, nullptr, Bytes_(cut), Bytes_(b)), 0);
    EXPECT_EQ(Java_com_vorel_JavaMatcher_match(&fake.env, nullptr, Bytes_(a), Bytes_(cut)), 0);
    EXPECT_EQ(fake.outstanding.size(), 0u);
    for (const Call& call : fake.log)
        if (call.op == Op::Release) {
            EXPECT_EQ(call.mode, JNI_ABORT);
        }
}

// The adapted record is written back only when adaptation succeeds.
TEST(JniBinding, AdaptWritesBackOnlyAnAdaptedRecord) {
    const Bytes record = IsoRecord(32, 1);
    Bytes expected(record.size());
    const int32_t length = AdaptIsoRecord(record.data(), record.size(), expected.data(), expected.size());
    ASSERT_GT(length, 0);
    FakeArray in{record}, out{Bytes(record.size(), 0xEE)};
    FakeEnv fake;
    EXPECT_EQ(Java_com_vorel_JavaMatcher_nativeAdaptIsoRecord(&fake.env, nullptr, Bytes_(in), Bytes_(out)), length);
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + length, out.bytes.begin()));
    EXPECT_EQ(in.bytes, record);

    FakeArray cutIn{Bytes(record.begin(), record.end() - 1)}, untouched{Bytes(record.size(), 0xEE)};
    EXPECT_EQ(Java_com_vorel_JavaMatcher_nativeAdaptIsoRecord(&fake.env, nullptr, Bytes_(cutIn), Bytes_(untouched)),
              FPMATCH_ADAPT_LENGTH_EXCEEDS_BUFFER);
    EXPECT_EQ(untouched.bytes, Bytes(record.size(), 0xEE));
    EXPECT_EQ(fake.outstanding.size(), 0u);
}

// A list with a template of count 0 in the middle and a last template cut by
// the end of the array (right before the guard page): the ranking is the one
// Match2Score gives, the cut and undecodable entries with score 0, and
// nothing past the array is read.
TEST(JniBinding, SearchRanksWholeEntriesAndNeverReadsPastTheList) {
    const std::vector<Bytes> entries = {IsoRecord(33, 2), IsoRecord(34, 1), IsoRecord(33, 3), IsoRecord(33, 1),
                                        IsoRecord(35, 1), IsoRecord(33, 4)};
    const Bytes probe = IsoRecord(33, 1);
    const size_t stride = 400;
    Bytes list(entries.size() * stride, 0);
    for (size_t i = 0; i < entries.size(); ++i) std::copy(entries[i].begin(), entries[i].end(), list.begin() + i * stride);
    list[1 * stride + 27] = 0;                          // entry 1: count 0
    list.resize(5 * stride + 28 + 6 * static_cast<size_t>(entries[5][27]) - 1);  // entry 5: one byte short
    std::vector<SearchHit> expected;
    for (size_t i = 0; i < entries.size(); ++i) {
        const bool whole = CheckTemplate(list.data() + i * stride, list.size() - i * stride) == FPMATCH_DECODED;
        expected.push_back({static_cast<int32_t>(i), whole ? Match2Score(probe.data(), list.data() + i * stride) : 0});
    }
    ASSERT_EQ(CheckTemplate(list.data() + 5 * stride, list.size() - 5 * stride), FPMATCH_TRUNCATED);
    ASSERT_GT(Match2Score(probe.data(), entries[5].data()), 0);  // whole, it would score
    std::stable_sort(expected.begin(), expected.end(), [](const SearchHit& a, const SearchHit& b) { return a.score > b.score; });
    ASSERT_GT(expected[0].score, 0);
    for (const jint k : {1, 3, 6}) {
        SCOPED_TRACE(testing::Message() << "k " << k);
        FakeArray p{probe}, l{list};
        FakeArray hits{{}, false, std::vector<jint>(2 * k, -7), {}, 1};
        FakeArray storage{{}, false, {}, std::vector<jlong>(FPMATCH_PREPARED_PROBE_SIZE / 8), 2};
        FakeEnv fake;
        const jint found = Java_com_vorel_JavaMatcher_nativeSearch(
            &fake.env, nullptr, Bytes_(p), Bytes_(l), static_cast<jint>(stride), k,
            reinterpret_cast<jintArray>(&hits), reinterpret_cast<jlongArray>(&storage));
        ASSERT_EQ(found, k);
        for (jint i = 0; i < k; ++i) {
            EXPECT_EQ(hits.ints[2 * i], expected[i].index) << "hit " << i;
            EXPECT_EQ(hits.ints[2 * i + 1], expected[i].score) << "hit " << i;
        }
        EXPECT_EQ(fake.outstanding.size(), 0u);
        // Storage smaller than a prepared probe is refused.
        FakeArray small{{}, false, {}, std::vector<jlong>(FPMATCH_PREPARED_PROBE_SIZE / 8 - 1), 2};
        EXPECT_EQ(Java_com_vorel_JavaMatcher_nativeSearch(&fake.env, nullptr, Bytes_(p), Bytes_(l),
                                                          static_cast<jint>(stride), k,
                                                          reinterpret_cast<jintArray>(&hits),
                                                          reinterpret_cast<jlongArray>(&small)),
                  -2);
    }
}

// The words of each line a command prints (empty when it cannot run).
std::vector<std::vector<std::string>> CommandLines(const std::string& command) {
    std::vector<std::vector<std::string>> lines;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return lines;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string w; in >> w;) words.push_back(w);
        if (!words.empty()) lines.push_back(words);
    }
    pclose(pipe);
    return lines;
}

// libfpmatch-jni.so exports exactly the native methods of the class, listed
// in java/native/exported_symbols.txt (sanitizer builds add names of their
// own, all beginning with "__").
TEST(JniLibrary, ExportsExactlyTheNativeMethods) {
    const auto nm = CommandLines("nm -D --defined-only '" FPMATCH_JNI_LIBRARY_FILE "'");
    if (nm.empty()) GTEST_SKIP() << "nm not available";
    std::set<std::string> exported;
    for (const auto& words : nm) {
        std::string name = words.back();
        if (name.rfind("__", 0) == 0) continue;
        exported.insert(name.substr(0, name.find('@')));
    }
    std::set<std::string> listed;
    std::ifstream in(FPMATCH_JNI_SYMBOLS_FILE);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') listed.insert(line);
    ASSERT_EQ(listed.size(), 24u);  // JavaMatcher's 6, Gallery's 18
    EXPECT_EQ(exported, listed);
}

// It needs the core library and the C library, never a JVM library: the VM
// is reached through the JNIEnv a call is given.
TEST(JniLibrary, NeedsTheCoreLibraryAndNoJvm) {
    const auto dump = CommandLines("objdump -p '" FPMATCH_JNI_LIBRARY_FILE "'");
    if (dump.empty()) GTEST_SKIP() << "objdump not available";
    std::set<std::string> needed;
    for (const auto& words : dump)
        if (words.size() == 2 && words[0] == "NEEDED") needed.insert(words[1]);
    EXPECT_TRUE(needed.count("libfpmatch.so." + std::to_string(FPMATCH_VERSION_MAJOR)));
    for (const auto& name : needed) EXPECT_EQ(name.find("jvm"), std::string::npos) << name;
}

}  // namespace
