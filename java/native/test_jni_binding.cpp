// The JNI function driven through a fake JNI environment: every JNI call is
// logged, only GetArrayLength, GetByteArrayElements and
// ReleaseByteArrayElements exist (any other call jumps through a null
// pointer), and each array's bytes are handed out as a copy that ends right
// before an inaccessible page, so a read past the end of a Java array
// crashes the test.
#include <jni.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "fpmatch.h"
// javac's header for com.vorel.JavaMatcher: a declaration that differs from
// the library's fails to compile here.
#include "com_vorel_JavaMatcher.h"

#include "binding_cases.h"

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
        env.functions = &table;
    }
    static FakeEnv* Of(JNIEnv* e) { return reinterpret_cast<FakeEnv*>(e); }
    static FakeArray* ArrayOf(jarray a) { return reinterpret_cast<FakeArray*>(a); }

    static jsize JNICALL GetArrayLength(JNIEnv* e, jarray a) {
        Of(e)->log.push_back({Op::Length, ArrayOf(a), 0, true, true});
        return static_cast<jsize>(ArrayOf(a)->bytes.size());
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

}  // namespace
