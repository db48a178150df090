// JNI functions of com.vorel.Gallery: each passes its arguments to the
// identification library (fpmatch_id.h) and returns the library's code;
// the Java class turns a negative code into an exception with
// FpmLastErrorDetail(). Strings cross as UTF-8 byte arrays.
#include <jni.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fpmatch_id.h"

namespace {

FpmGallery* Handle(jlong h) { return reinterpret_cast<FpmGallery*>(static_cast<intptr_t>(h)); }

// A Java byte array's bytes; `ok` false when the array is null.
struct Bytes {
    std::vector<uint8_t> data;
    bool ok = false;
    Bytes(JNIEnv* env, jbyteArray a) {
        if (a == nullptr) return;
        data.resize(static_cast<size_t>(env->GetArrayLength(a)));
        if (!data.empty()) env->GetByteArrayRegion(a, 0, static_cast<jsize>(data.size()), reinterpret_cast<jbyte*>(data.data()));
        ok = true;
    }
    // As a NUL-terminated string; an embedded NUL makes it invalid as an id.
    std::string Text() const {
        std::string s(data.begin(), data.end());
        return s.find('\0') == std::string::npos ? s : std::string();
    }
};

jint SetHandle(JNIEnv* env, jlongArray out, jint rc, FpmGallery* g) {
    if (rc == FPM_OK) {
        const jlong h = static_cast<jlong>(reinterpret_cast<intptr_t>(g));
        env->SetLongArrayRegion(out, 0, 1, &h);
    }
    return rc;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeCreate(JNIEnv* env, jclass, jbyteArray path, jlongArray out) {
    FpmGallery* g = nullptr;
    const int32_t rc = FpmGalleryCreate(Bytes(env, path).Text().c_str(), &g);
    return SetHandle(env, out, rc, g);
}

JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeOpen(JNIEnv* env, jclass, jbyteArray path, jint writable,
                                                         jlongArray out) {
    FpmGallery* g = nullptr;
    const int32_t rc = FpmGalleryOpen(Bytes(env, path).Text().c_str(), writable ? FPM_OPEN_WRITE : FPM_OPEN_READ, &g);
    return SetHandle(env, out, rc, g);
}

JNIEXPORT void JNICALL Java_com_vorel_Gallery_nativeClose(JNIEnv*, jclass, jlong h) { FpmGalleryClose(Handle(h)); }

JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeAdd(JNIEnv* env, jclass, jlong h, jbyteArray subject,
                                                        jbyteArray tmpl, jint adapt) {
    const Bytes t(env, tmpl);
    return FpmGalleryAdd(Handle(h), Bytes(env, subject).Text().c_str(), t.data.data(), t.data.size(),
                         adapt ? FPM_ADD_ADAPT : 0);
}

JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeRemove(JNIEnv* env, jclass, jlong h, jbyteArray subject) {
    return FpmGalleryRemove(Handle(h), Bytes(env, subject).Text().c_str());
}

JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeCommit(JNIEnv*, jclass, jlong h) { return FpmGalleryCommit(Handle(h)); }
JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeDiscard(JNIEnv*, jclass, jlong h) { return FpmGalleryDiscard(Handle(h)); }
JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeCompact(JNIEnv*, jclass, jlong h) { return FpmGalleryCompact(Handle(h)); }
JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeRefresh(JNIEnv*, jclass, jlong h) { return FpmGalleryRefresh(Handle(h)); }
JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeCheck(JNIEnv*, jclass, jlong h) { return FpmGalleryCheck(Handle(h)); }

// counts[0] templates, [1] subjects, [2] entries.
JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeCounts(JNIEnv* env, jclass, jlong h, jlongArray counts) {
    FpmGalleryStat st;
    const int32_t rc = FpmGalleryGetStat(Handle(h), &st);
    if (rc == FPM_OK) {
        const jlong c[3] = {st.templates, st.subjects, st.entries};
        env->SetLongArrayRegion(counts, 0, 3, c);
    }
    return rc;
}

// out[0]: the templates that can be found and are stored with a compact record.
JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativePrepared(JNIEnv* env, jclass, jlong h, jlongArray out) {
    FpmGalleryStorage s;
    const int32_t rc = FpmGalleryGetStorage(Handle(h), &s);
    if (rc == FPM_OK) {
        const jlong prepared = s.compactRecords;
        env->SetLongArrayRegion(out, 0, 1, &prepared);
    }
    return rc;
}

JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeSubject(JNIEnv* env, jclass, jlong h, jlong k, jbyteArray out) {
    char id[FPM_SUBJECT_MAX + 1];
    const int32_t rc = FpmGalleryGetSubject(Handle(h), k, id, nullptr);
    if (rc != FPM_OK) return rc;
    const auto n = static_cast<jsize>(std::string(id).size());
    env->SetByteArrayRegion(out, 0, n, reinterpret_cast<const jbyte*>(id));
    return n;
}

namespace {

FpmSearchOptions Options(jint top, jint threshold, jint threads, jint screen, jint byEntry, jint adapt) {
    FpmSearchOptions o;
    FpmSearchOptionsInit(&o);
    o.top = top;
    o.threshold = threshold;
    o.threads = threads;
    o.screen = screen;
    o.byEntry = byEntry;
    o.adaptProbe = adapt;
    return o;
}

// Copies n hits into the Java arrays from index `at`; false when a subject
// array cannot be made.
bool PutHits(JNIEnv* env, const FpmHit* hits, int32_t n, jsize at, jlongArray entries, jintArray scores,
             jobjectArray subjects) {
    for (int32_t k = 0; k < n; ++k) {
        const jlong e = hits[k].entry;
        const jint s = hits[k].score;
        env->SetLongArrayRegion(entries, at + k, 1, &e);
        env->SetIntArrayRegion(scores, at + k, 1, &s);
        jbyteArray id = env->NewByteArray(hits[k].subjectLength);
        if (id == nullptr) return false;
        env->SetByteArrayRegion(id, 0, hits[k].subjectLength, reinterpret_cast<const jbyte*>(hits[k].subject));
        env->SetObjectArrayElement(subjects, at + k, id);
        env->DeleteLocalRef(id);
    }
    return true;
}

}  // namespace

JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeIdentify(JNIEnv* env, jclass, jlong h, jbyteArray probe, jint top,
                                                             jint threshold, jint threads, jint screen, jint byEntry,
                                                             jint adapt, jlongArray entries, jintArray scores,
                                                             jobjectArray subjects) {
    const Bytes p(env, probe);
    const FpmSearchOptions o = Options(top, threshold, threads, screen, byEntry, adapt);
    const jsize capacity = env->GetArrayLength(scores);
    std::vector<FpmHit> hits(static_cast<size_t>(capacity));
    const int32_t n = FpmGalleryIdentify(Handle(h), p.data.data(), p.data.size(), &o, hits.data(), capacity);
    if (n > 0 && !PutHits(env, hits.data(), n, 0, entries, scores, subjects)) return FPM_E_NO_MEMORY;
    return n;
}

// Probe k's hits at k * capacity of the arrays, their number (or the probe's
// code) in counts[k].
JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeIdentifyBatch(JNIEnv* env, jclass, jlong h, jobjectArray probes,
                                                                  jint top, jint threshold, jint threads, jint screen,
                                                                  jint byEntry, jint adapt, jint capacity,
                                                                  jlongArray entries, jintArray scores,
                                                                  jobjectArray subjects, jintArray counts) {
    const jsize count = env->GetArrayLength(probes);
    std::vector<Bytes> copies;
    std::vector<const uint8_t*> data;
    std::vector<size_t> lengths;
    copies.reserve(static_cast<size_t>(count));
    for (jsize k = 0; k < count; ++k) {
        auto a = static_cast<jbyteArray>(env->GetObjectArrayElement(probes, k));
        copies.emplace_back(env, a);
        env->DeleteLocalRef(a);
    }
    for (const Bytes& c : copies) {
        data.push_back(c.data.data());
        lengths.push_back(c.data.size());
    }
    const FpmSearchOptions o = Options(top, threshold, threads, screen, byEntry, adapt);
    std::vector<FpmHit> hits(static_cast<size_t>(count) * static_cast<size_t>(capacity));
    std::vector<int32_t> n(static_cast<size_t>(count));
    const int32_t rc = FpmGalleryIdentifyBatch(Handle(h), data.data(), lengths.data(), count, &o, hits.data(), capacity,
                                               n.data());
    if (rc < 0) return rc;
    for (jsize k = 0; k < count; ++k) {
        const size_t at = static_cast<size_t>(k) * static_cast<size_t>(capacity);
        if (n[static_cast<size_t>(k)] > 0 &&
            !PutHits(env, hits.data() + at, n[static_cast<size_t>(k)], static_cast<jsize>(at), entries, scores, subjects))
            return FPM_E_NO_MEMORY;
    }
    if (count > 0) env->SetIntArrayRegion(counts, 0, count, n.data());
    return FPM_OK;
}

JNIEXPORT jbyteArray JNICALL Java_com_vorel_Gallery_nativeCodeText(JNIEnv* env, jclass, jint code) {
    const std::string text = FpmCodeText(code);
    jbyteArray out = env->NewByteArray(static_cast<jsize>(text.size()));
    if (out != nullptr)
        env->SetByteArrayRegion(out, 0, static_cast<jsize>(text.size()), reinterpret_cast<const jbyte*>(text.data()));
    return out;
}

JNIEXPORT jint JNICALL Java_com_vorel_Gallery_nativeVerify(JNIEnv* env, jclass, jlong h, jbyteArray subject,
                                                           jbyteArray probe, jint adapt) {
    const Bytes p(env, probe);
    return FpmGalleryVerify(Handle(h), Bytes(env, subject).Text().c_str(), p.data.data(), p.data.size(), adapt, nullptr);
}

// As bytes: the text may hold subject ids beyond the JNI's modified UTF-8.
JNIEXPORT jbyteArray JNICALL Java_com_vorel_Gallery_nativeLastError(JNIEnv* env, jclass) {
    const std::string text = FpmLastErrorDetail();
    jbyteArray out = env->NewByteArray(static_cast<jsize>(text.size()));
    if (out != nullptr)
        env->SetByteArrayRegion(out, 0, static_cast<jsize>(text.size()), reinterpret_cast<const jbyte*>(text.data()));
    return out;
}

}  // extern "C"
