// JNI implementation of com.vorel.JavaMatcher.MatchTemplates: every template
// of a Java byte array, taken as the probe, is compared with one gallery
// template and the best score is returned.
//
// A Java caller cannot be trusted the way a native caller is: the arrays may
// be null, shorter than listLength, or hold a template cut off by the end of
// the array, and stride may be 0 or negative. The binding reads both array
// lengths and compares only templates that lie wholly inside their arrays, so
// no call can read outside the Java heap's copy of the bytes. For every call
// in which all listed templates are whole, the result is the best Match2Fp
// score over the listed probes, exactly.
#include <jni.h>

#include <cstddef>
#include <cstdint>

#include "fpmatch.h"

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

}  // namespace

extern "C" {

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
