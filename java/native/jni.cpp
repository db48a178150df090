// JNI implementation of com.vorel.JavaMatcher. MatchTemplates: every
// template of a Java byte array, taken as the probe, is compared with one
// gallery template and the best score is returned. checkTemplate, match,
// nativeAdaptIsoRecord and nativeSearch: CheckTemplate, Match2Score,
// AdaptIsoRecord and PrepareProbe + SearchTopK on Java arrays.
//
// A Java caller cannot be trusted the way a native caller is: the arrays may
// be null, shorter than listLength, or hold a template cut off by the end of
// the array, and stride may be 0 or negative. The binding reads both array
// lengths and compares only templates that lie wholly inside their arrays, so
// no call can read outside the Java heap's copy of the bytes. For every call
// in which all listed templates are whole, the result is the best Match2Fp
// score over the listed probes, exactly.
//
// These functions make up libfpmatch-jni.so, which links libfpmatch.so.1 and
// exports only them; the core library knows nothing of Java.
#include <jni.h>

#include <climits>
#include <cstddef>
#include <cstdint>

#include "fpmatch.h"
#include "fpmatch_id.h"
// javac's header for com.vorel.JavaMatcher: the C linkage and signatures of
// the functions below come from the class itself.
#include "com_vorel_JavaMatcher.h"

namespace {

// The arrays are only read. JNI_ABORT frees the VM's copy (if it made one)
// without writing it back: a write-back of the unchanged copy costs a memcpy
// and would undo bytes another Java thread stored into the array while the
// comparison ran. When the VM hands out the array itself the mode makes no
// difference.
constexpr jint kReleaseMode = JNI_ABORT;

int32_t BestScore(const uint8_t* probes, size_t probeArrayLength, jint listLength, jint stride,
                  const uint8_t* gallery, size_t galleryArrayLength) {
    // A gallery the decoder would reject, or one cut short by the end of its
    // array, gives 0 with every probe.
    if (CheckTemplate(gallery, galleryArrayLength) != FPMATCH_DECODED) return 0;
    // Truncating division: a partial template after the last whole stride is
    // not listed. stride is positive here, so the quotient cannot overflow.
    const int64_t probeCount = listLength / stride;
    int32_t best = 0;
    for (int64_t i = 0; i < probeCount; ++i) {
        const int64_t offset = i * stride;
        if (offset >= static_cast<int64_t>(probeArrayLength)) break;  // listLength beyond the array
        const uint8_t* probe = probes + offset;
        // A probe that would not decode scores 0 anyway; one cut off by the
        // end of the array is not read at all and also scores 0.
        if (CheckTemplate(probe, probeArrayLength - static_cast<size_t>(offset)) != FPMATCH_DECODED) continue;
        const int32_t score = Match2Fp(probe, gallery);
        if (score > best) best = score;
    }
    return best;
}

// Reads a Java byte array for the length of a call and gives it back
// unchanged (JNI_ABORT) at the end, or with its bytes written back when
// Commit() was called. data() is null for a null array or when the VM could
// not provide the bytes (it has then posted OutOfMemoryError).
class ByteArray {
public:
    ByteArray(JNIEnv* env, jbyteArray array) : env_(env), array_(array) {
        if (array == nullptr) return;
        length_ = static_cast<size_t>(env->GetArrayLength(array));
        bytes_ = env->GetByteArrayElements(array, nullptr);
    }
    ~ByteArray() {
        if (bytes_ != nullptr) env_->ReleaseByteArrayElements(array_, bytes_, mode_);
    }
    ByteArray(const ByteArray&) = delete;
    ByteArray& operator=(const ByteArray&) = delete;
    uint8_t* data() const { return reinterpret_cast<uint8_t*>(bytes_); }
    size_t length() const { return length_; }
    void Commit() { mode_ = 0; }

private:
    JNIEnv* env_;
    jbyteArray array_;
    jbyte* bytes_ = nullptr;
    size_t length_ = 0;
    jint mode_ = kReleaseMode;
};

// Storage for a prepared probe in a Java long array (the record is made of
// 64-bit words), so that the 40 KB record does not sit on the native stack:
// with it there, a search would not fit the smallest thread stack a JVM
// grants. Its contents are never written back.
class LongArray {
public:
    LongArray(JNIEnv* env, jlongArray array) : env_(env), array_(array) {
        if (array == nullptr) return;
        length_ = static_cast<size_t>(env->GetArrayLength(array));
        longs_ = env->GetLongArrayElements(array, nullptr);
    }
    ~LongArray() {
        if (longs_ != nullptr) env_->ReleaseLongArrayElements(array_, longs_, JNI_ABORT);
    }
    LongArray(const LongArray&) = delete;
    LongArray& operator=(const LongArray&) = delete;
    jlong* data() const { return longs_; }
    size_t length() const { return length_; }

private:
    JNIEnv* env_;
    jlongArray array_;
    jlong* longs_ = nullptr;
    size_t length_ = 0;
};

// Same for an int array, whose bytes are always written back.
class IntArray {
public:
    IntArray(JNIEnv* env, jintArray array) : env_(env), array_(array) {
        if (array == nullptr) return;
        length_ = static_cast<size_t>(env->GetArrayLength(array));
        ints_ = env->GetIntArrayElements(array, nullptr);
    }
    ~IntArray() {
        if (ints_ != nullptr) env_->ReleaseIntArrayElements(array_, ints_, 0);
    }
    IntArray(const IntArray&) = delete;
    IntArray& operator=(const IntArray&) = delete;
    jint* data() const { return ints_; }
    size_t length() const { return length_; }

private:
    JNIEnv* env_;
    jintArray array_;
    jint* ints_ = nullptr;
    size_t length_ = 0;
};

// The k best entries (k >= 1) of a Java list, ranked by the
// identification library on the calling thread: an entry that does not hold
// a whole template up to the end of the array is never read and ranks 0, as
// SearchTopK ranks an entry that fails to decode. Returns the number of hits
// written, -1 when the probe does not prepare, or -3 when the search fails
// (out of memory).
int32_t SearchList(const uint8_t* probe, size_t probeLength, PreparedProbe& prepared, const uint8_t* list,
                   size_t listLength, int32_t stride, int32_t k, SearchHit* best) {
    if (CheckTemplate(probe, probeLength) != FPMATCH_DECODED) return -1;
    if (PrepareProbe(probe, &prepared) != FPMATCH_DECODED) return -1;
    const int32_t n = FpmSearchList(&prepared, list, listLength, stride, k, 1, best, k);
    return n < 0 ? -3 : n;
}

}  // namespace

extern "C" {

JNIEXPORT jstring JNICALL Java_com_vorel_JavaMatcher_versionString(JNIEnv* env, jclass /*cls*/) {
    return env->NewStringUTF(VersionString());
}

// CheckTemplate over the whole array; FPMATCH_NULL_INPUT for a null array.
JNIEXPORT jint JNICALL Java_com_vorel_JavaMatcher_checkTemplate(JNIEnv* env, jclass /*cls*/, jbyteArray tmpl) {
    const ByteArray bytes(env, tmpl);
    if (bytes.data() == nullptr) return FPMATCH_NULL_INPUT;
    return CheckTemplate(bytes.data(), bytes.length());
}

// Match2Score of two arrays that both hold a whole, decodable template, else 0.
JNIEXPORT jint JNICALL Java_com_vorel_JavaMatcher_match(JNIEnv* env, jclass /*cls*/, jbyteArray probe,
                                                        jbyteArray gallery) {
    if (probe == nullptr || gallery == nullptr) return 0;
    const ByteArray p(env, probe);
    if (p.data() == nullptr) return 0;
    const ByteArray g(env, gallery);
    if (g.data() == nullptr) return 0;
    if (CheckTemplate(p.data(), p.length()) != FPMATCH_DECODED ||
        CheckTemplate(g.data(), g.length()) != FPMATCH_DECODED)
        return 0;
    return Match2Score(p.data(), g.data());
}

// AdaptIsoRecord from one array into another; the output's bytes are written
// back only when the record was adapted. FPMATCH_ADAPT_NULL_INPUT for a null
// array.
JNIEXPORT jint JNICALL Java_com_vorel_JavaMatcher_nativeAdaptIsoRecord(JNIEnv* env, jclass /*cls*/,
                                                                       jbyteArray record, jbyteArray out) {
    if (record == nullptr || out == nullptr) return FPMATCH_ADAPT_NULL_INPUT;
    const ByteArray in(env, record);
    if (in.data() == nullptr) return FPMATCH_ADAPT_NULL_INPUT;
    ByteArray adapted(env, out);
    if (adapted.data() == nullptr) return FPMATCH_ADAPT_NULL_INPUT;
    const int32_t result = AdaptIsoRecord(in.data(), in.length(), adapted.data(), adapted.length());
    if (result >= 0) adapted.Commit();
    return result;
}

// The k best entries of a list for a probe, written to hits as (index, score)
// pairs; `preparedStorage` has room for a PreparedProbe
// (FPMATCH_PREPARED_PROBE_SIZE / 8 longs). Returns the number of hits, -1
// when the probe is not a whole, decodable template, -2 for a null array, a
// stride of 0 or less, a negative k, or arrays without the room stated, -3
// when the search fails.
JNIEXPORT jint JNICALL Java_com_vorel_JavaMatcher_nativeSearch(JNIEnv* env, jclass /*cls*/, jbyteArray probe,
                                                               jbyteArray list, jint stride, jint k,
                                                               jintArray hits, jlongArray preparedStorage) {
    if (probe == nullptr || list == nullptr || hits == nullptr || preparedStorage == nullptr || stride <= 0 || k < 0)
        return -2;
    const size_t room = 2 * static_cast<size_t>(k);
    if (static_cast<size_t>(env->GetArrayLength(hits)) < room ||
        static_cast<size_t>(env->GetArrayLength(preparedStorage)) < sizeof(PreparedProbe) / sizeof(jlong))
        return -2;
    if (k == 0) return 0;
    const ByteArray p(env, probe);
    if (p.data() == nullptr) return -2;
    const ByteArray l(env, list);
    if (l.data() == nullptr) return -2;
    const IntArray best(env, hits);
    if (best.data() == nullptr) return -2;
    const LongArray storage(env, preparedStorage);
    if (storage.data() == nullptr) return -2;
    static_assert(sizeof(PreparedProbe) % sizeof(jlong) == 0 && alignof(PreparedProbe) <= alignof(jlong));
    PreparedProbe& prepared = *reinterpret_cast<PreparedProbe*>(storage.data());
    // An int array of 2k elements has the layout of k SearchHit records.
    static_assert(sizeof(SearchHit) == 2 * sizeof(jint) && offsetof(SearchHit, score) == sizeof(jint));
    return SearchList(p.data(), p.length(), prepared, l.data(), l.length(), stride, k,
                      reinterpret_cast<SearchHit*>(best.data()));
}

// Returns 0 without touching the arrays for a null array or a stride of 0 or
// less. A null result of GetByteArrayElements (the VM is out of memory; it
// has already posted OutOfMemoryError, which the Java caller then sees)
// releases what was obtained and returns 0. Nothing else is raised.
JNIEXPORT jint JNICALL Java_com_vorel_JavaMatcher_MatchTemplates(JNIEnv* env, jclass /*cls*/,
                                                                 jbyteArray probeList, jint listLength,
                                                                 jbyteArray galleryTemplate, jint stride) {
    if (probeList == nullptr || galleryTemplate == nullptr || stride <= 0) return 0;
    const jsize probeArrayLength = env->GetArrayLength(probeList);
    const jsize galleryArrayLength = env->GetArrayLength(galleryTemplate);

    jbyte* probeBytes = env->GetByteArrayElements(probeList, nullptr);
    if (probeBytes == nullptr) return 0;
    jbyte* galleryBytes = env->GetByteArrayElements(galleryTemplate, nullptr);
    if (galleryBytes == nullptr) {
        env->ReleaseByteArrayElements(probeList, probeBytes, kReleaseMode);
        return 0;
    }

    const int32_t best =
        BestScore(reinterpret_cast<const uint8_t*>(probeBytes), static_cast<size_t>(probeArrayLength), listLength,
                  stride, reinterpret_cast<const uint8_t*>(galleryBytes), static_cast<size_t>(galleryArrayLength));

    env->ReleaseByteArrayElements(probeList, probeBytes, kReleaseMode);
    env->ReleaseByteArrayElements(galleryTemplate, galleryBytes, kReleaseMode);
    return best;
}

}  // extern "C"
