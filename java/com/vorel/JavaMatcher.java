/*
 * Copyright 2026 the fpmatch authors.
 * SPDX-License-Identifier: Apache-2.0
 */
package com.vorel;

import java.io.File;
import java.util.Arrays;
import java.util.List;

/**
 * Java entry to the fpmatch fingerprint matching library.
 *
 * <p>Templates are byte arrays holding a native fpmatch template or an
 * ISO/IEC 19794-2:2005 finger minutiae record. The usual sequence for ISO
 * records from another extractor is: {@link #adaptIsoRecord} each record
 * once (this is what makes such records match well), then {@link #match}
 * two of them, or {@link #search} a gallery for the best matches of a
 * probe. Scores run from 0 (no likeness) to 100.
 *
 * <p>The native library, {@code libfpmatch-jni.so} (which uses the fpmatch
 * library, {@code libfpmatch.so.1}), is loaded when the class is first used.
 * When the system property {@code fpmatch.library} is set, it names that
 * file ({@code -Dfpmatch.library=/opt/fpmatch/lib/jni/libfpmatch-jni.so}; a
 * relative path is taken from the working directory) and is the only place
 * tried; otherwise {@code libfpmatch-jni.so} is looked up on
 * {@code java.library.path} (the Debian package {@code libfpmatch-java}
 * installs it in {@code /usr/lib/<arch>/jni}, which is on that path). A
 * library that cannot be loaded, or a file that is not libfpmatch-jni.so,
 * makes the first use of the class throw {@link UnsatisfiedLinkError}, whose
 * message names the property and the file or path tried.
 *
 * <p>All methods are static and thread-safe: the library keeps no state, so
 * any number of threads may call them at once. A call needs about 90 KB
 * of native stack, which every Java thread has, even one created with the
 * smallest stack size the JVM allows ({@link #search} keeps its 40 KB
 * prepared probe in a Java array, not on the stack).
 * No method modifies an array it is given, apart from the result arrays it
 * creates itself.
 */
public final class JavaMatcher {
    /** System property naming the library file; see the class description. */
    public static final String LIBRARY_PROPERTY = "fpmatch.library";

    /** The binding's native library, as named to {@link System#loadLibrary}. */
    private static final String NATIVE_LIBRARY = "fpmatch-jni";

    /** {@link #checkTemplate}: the template is whole and decodes. */
    public static final int DECODED = 0;
    /** {@link #checkTemplate}: a native template whose version byte is not 3. */
    public static final int BAD_VERSION = 1;
    /** {@link #checkTemplate}: a minutia count outside 1 to 50. */
    public static final int BAD_COUNT = 2;
    /** {@link #checkTemplate}: the array is shorter than the template's header declares. */
    public static final int TRUNCATED = 3;
    /** {@link #checkTemplate}: the array is null. */
    public static final int NULL_INPUT = 4;

    static {
        String path = System.getProperty(LIBRARY_PROPERTY);
        String loaded;
        if (path != null && !path.isEmpty()) {
            File file = new File(path).getAbsoluteFile();
            if (!file.isFile()) {
                throw new UnsatisfiedLinkError("fpmatch: the native library named by the system property "
                        + LIBRARY_PROPERTY + " does not exist: " + file);
            }
            try {
                System.load(file.getPath());
            } catch (UnsatisfiedLinkError e) {
                throw linkError("fpmatch: cannot load " + file + " (named by the system property "
                        + LIBRARY_PROPERTY + "): " + e.getMessage(), e);
            }
            loaded = file + " (named by the system property " + LIBRARY_PROPERTY + ")";
        } else {
            try {
                System.loadLibrary(NATIVE_LIBRARY);
            } catch (UnsatisfiedLinkError e) {
                throw linkError("fpmatch: native library " + System.mapLibraryName(NATIVE_LIBRARY)
                        + " not found on java.library.path (" + System.getProperty("java.library.path")
                        + "). Install the libfpmatch-java package, name the library file with the system "
                        + "property " + LIBRARY_PROPERTY + " (-D" + LIBRARY_PROPERTY
                        + "=/opt/fpmatch/lib/jni/libfpmatch-jni.so) or add its folder to java.library.path. ("
                        + e.getMessage() + ")", e);
            }
            loaded = System.mapLibraryName(NATIVE_LIBRARY) + " from java.library.path";
        }
        // A library that loads but lacks the native methods (the core
        // libfpmatch.so.1 named by mistake, or an older build) is reported
        // here, not by the first call that happens to need a missing method.
        try {
            versionString();
        } catch (UnsatisfiedLinkError e) {
            throw linkError("fpmatch: " + loaded + " holds no JNI functions of " + JavaMatcher.class.getName()
                    + "; the binding's library is " + System.mapLibraryName(NATIVE_LIBRARY)
                    + " (package libfpmatch-java), not libfpmatch.so. (" + e.getMessage() + ")", e);
        }
    }

    private static UnsatisfiedLinkError linkError(String message, Throwable cause) {
        UnsatisfiedLinkError error = new UnsatisfiedLinkError(message);
        error.initCause(cause);
        return error;
    }

    private JavaMatcher() {
    }

    /**
     * One entry of a {@link #search} result: a position in the gallery and
     * its score.
     */
    public static final class Hit {
        /** Position of the entry in the gallery, counted from 0. */
        public final int index;
        /** Score of the entry with the probe, 0 to 100. */
        public final int score;

        /**
         * Makes a hit.
         *
         * @param index position in the gallery
         * @param score score with the probe
         */
        public Hit(int index, int score) {
            this.index = index;
            this.score = score;
        }

        @Override
        public boolean equals(Object other) {
            return other instanceof Hit && ((Hit) other).index == index && ((Hit) other).score == score;
        }

        @Override
        public int hashCode() {
            return 31 * index + score;
        }

        @Override
        public String toString() {
            return index + ":" + score;
        }
    }

    /**
     * Returns the version of the loaded native library, "MAJOR.MINOR.PATCH".
     * The jar's own version is in its manifest
     * ({@code JavaMatcher.class.getPackage().getImplementationVersion()}).
     *
     * @return the library version
     */
    public static native String versionString();

    /**
     * Tells whether an array holds a whole template that the matcher can
     * decode.
     *
     * @param template the template (native or ISO/IEC 19794-2:2005)
     * @return {@link #DECODED}, {@link #BAD_VERSION}, {@link #BAD_COUNT},
     *     {@link #TRUNCATED} or {@link #NULL_INPUT}
     */
    public static native int checkTemplate(byte[] template);

    /**
     * Compares two templates. The comparison is not symmetric: give the
     * fresh capture as the probe and the enrolled template as the gallery.
     * ISO records from other extractors should be adapted first
     * ({@link #adaptIsoRecord}).
     *
     * @param probe the probe template
     * @param gallery the gallery template
     * @return the score, 0 to 100; 0 also when either array is null or is not
     *     a whole, decodable template ({@link #checkTemplate} other than
     *     {@link #DECODED})
     */
    public static native int match(byte[] probe, byte[] gallery);

    /**
     * Returns an adapted copy of an ISO/IEC 19794-2:2005 record: its first
     * finger view cut to 50 minutiae, scaled to 500 dpi, centred in the
     * matcher's 256 x 288 frame, and given minutia qualities when the record
     * carries none. Records from common extractors match far better adapted
     * (on FVC2002, an equal error rate of 3.5% instead of 20%). An adapted
     * record adapts to itself. The record's array is not modified.
     *
     * @param record the record; bytes after its record length field are ignored
     * @return the adapted record, a new array of its exact length
     * @throws NullPointerException if {@code record} is null
     * @throws RecordRefusedException if the record is not a valid
     *     ISO/IEC 19794-2:2005 record the adapter accepts
     */
    public static byte[] adaptIsoRecord(byte[] record) {
        if (record == null) {
            throw new NullPointerException("record");
        }
        byte[] out = new byte[record.length];
        int length = nativeAdaptIsoRecord(record, out);
        if (length < 0) {
            throw new RecordRefusedException(length);
        }
        return Arrays.copyOf(out, length);
    }

    /**
     * Thrown by {@link #adaptIsoRecord} for a record it refuses; the code is
     * the library's FPMATCH_ADAPT_* code.
     */
    public static final class RecordRefusedException extends IllegalArgumentException {
        private static final long serialVersionUID = 1L;
        /** Where the identification library carries AdaptIsoRecord's codes (FPM_E_ADAPT_BASE). */
        private static final int ADAPT_CODE_BASE = -300;
        /** The library's refusal code. */
        private final int code;

        RecordRefusedException(int code) {
            super("ISO/IEC 19794-2:2005 record refused: " + reason(code) + " (code " + code + ")");
            this.code = code;
        }

        /**
         * Returns the library's refusal code, -2 to -11 (see FPMATCH_ADAPT_* in fpmatch.h).
         *
         * @return the refusal code
         */
        public int getCode() {
            return code;
        }

        // The identification library's text of an AdaptIsoRecord code (its
        // codes are carried from -300 on), less its lead word "ISO record: ",
        // which the message above says in full.
        private static String reason(int code) {
            String text = Gallery.codeText(ADAPT_CODE_BASE + code);
            int lead = text.indexOf(": ");
            return lead < 0 ? text : text.substring(lead + 2);
        }
    }

    /**
     * Ranks the templates of a list by their score with the probe, best
     * first, and returns the {@code k} best. The probe is prepared once and
     * compared with every entry. Entry i starts at byte {@code i * stride}
     * of {@code list}, for every i whose start lies inside the array; it is
     * compared when it is a whole, decodable template within the bytes left
     * from its start, and otherwise ranks with score 0 (as the matcher scores
     * a template it cannot decode). Equal scores rank by lower index.
     *
     * @param probe the probe template
     * @param list the gallery templates, one every {@code stride} bytes
     * @param stride distance in bytes between the starts of consecutive entries
     * @param k how many hits to return at most
     * @return min(k, number of entries) hits, best first
     * @throws NullPointerException if {@code probe} or {@code list} is null
     * @throws IllegalArgumentException if {@code stride} or {@code k} is 0 or
     *     less, or the probe is not a whole, decodable template
     */
    public static Hit[] search(byte[] probe, byte[] list, int stride, int k) {
        if (probe == null) {
            throw new NullPointerException("probe");
        }
        if (list == null) {
            throw new NullPointerException("list");
        }
        if (stride <= 0) {
            throw new IllegalArgumentException("stride must be positive, is " + stride);
        }
        if (k <= 0) {
            throw new IllegalArgumentException("k must be positive, is " + k);
        }
        int entries = (int) (((long) list.length + stride - 1) / stride);
        int wanted = Math.min(k, entries);
        int[] hits = new int[2 * wanted];
        int found = nativeSearch(probe, list, stride, wanted, hits, new long[PREPARED_PROBE_LONGS]);
        if (found == -1) {
            throw new IllegalArgumentException("probe: not a whole, decodable template (checkTemplate gives "
                    + checkTemplate(probe) + ")");
        }
        if (found < 0) {
            throw new IllegalStateException("the native search failed (" + found + ")");
        }
        Hit[] result = new Hit[found];
        for (int i = 0; i < found; ++i) {
            result[i] = new Hit(hits[2 * i], hits[2 * i + 1]);
        }
        return result;
    }

    /**
     * Ranks the templates of a gallery by their score with the probe, best
     * first, and returns the {@code k} best, as {@link #search(byte[],
     * byte[], int, int)} does for the gallery laid out in one array. A
     * gallery element that is null or not a whole, decodable template ranks
     * with score 0.
     *
     * @param probe the probe template
     * @param gallery the gallery templates
     * @param k how many hits to return at most
     * @return min(k, gallery size) hits, best first; {@link Hit#index} is
     *     the position in {@code gallery}
     * @throws NullPointerException if {@code probe} or {@code gallery} is null
     * @throws IllegalArgumentException if {@code k} is 0 or less, or the
     *     probe is not a whole, decodable template
     */
    public static Hit[] search(byte[] probe, List<byte[]> gallery, int k) {
        if (gallery == null) {
            throw new NullPointerException("gallery");
        }
        int stride = 1;
        for (byte[] t : gallery) {
            if (t != null) {
                stride = Math.max(stride, t.length);
            }
        }
        if ((long) stride * gallery.size() > Integer.MAX_VALUE - 8) {
            throw new IllegalArgumentException("gallery too large for one array; search it in parts");
        }
        // Each element in its own slot; one that is not whole is left as
        // zeros, which decodes as nothing and scores 0.
        byte[] list = new byte[stride * gallery.size()];
        int at = 0;
        for (byte[] t : gallery) {
            if (checkTemplate(t) == DECODED) {
                System.arraycopy(t, 0, list, at, t.length);
            }
            at += stride;
        }
        if (gallery.isEmpty()) {
            if (probe == null) {
                throw new NullPointerException("probe");
            }
            return new Hit[0];
        }
        return search(probe, list, stride, k);
    }

    private static native int nativeAdaptIsoRecord(byte[] record, byte[] out);

    /** FPMATCH_PREPARED_PROBE_SIZE / 8: the prepared probe lives in a long array, not on the native stack. */
    private static final int PREPARED_PROBE_LONGS = 40960 / 8;

    private static native int nativeSearch(byte[] probe, byte[] list, int stride, int k, int[] hits,
            long[] preparedStorage);

    /**
     * Compares every template of a list, each taken as the probe, with one
     * gallery template and returns the best score.
     *
     * <p>Probe i starts at byte {@code i * stride} of {@code probeList}, for
     * i from 0 to {@code listLength / stride - 1}; a partial template after
     * the last whole stride is ignored. Templates are native fpmatch
     * templates or ISO/IEC 19794-2:2005 finger minutiae records, in any mix.
     * A probe that does not decode scores 0. Every probe is compared; there
     * is no early stop.
     *
     * <p>The call never fails: it returns 0 when an array is null, when
     * {@code stride} is 0 or less, or when the gallery is not a valid
     * template or is cut off by the end of its array. A probe cut off by the
     * end of {@code probeList} (for instance when {@code listLength} exceeds
     * the array) scores 0. Neither array is modified.
     *
     * @param probeList the probe templates, one every {@code stride} bytes
     * @param listLength number of bytes of {@code probeList} that hold templates
     * @param galleryTemplate the gallery template
     * @param stride distance in bytes between the starts of consecutive probes
     * @return the best score, 0 to 100
     */
    public static native int MatchTemplates(byte[] probeList, int listLength, byte[] galleryTemplate, int stride);
}
