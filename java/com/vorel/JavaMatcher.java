package com.vorel;

/**
 * Java entry to the fpmatch fingerprint matching library.
 *
 * <p>The native library is loaded when the class is first used. When the
 * system property {@code fpmatch.library} is set, it names the library file
 * ({@code -Dfpmatch.library=/opt/fpmatch/lib/libfpmatch.so}; a relative
 * path is taken from the working directory) and is the only place tried;
 * otherwise {@code libfpmatch.so} is looked up on {@code java.library.path}
 * and the system's library path. A library that cannot be loaded makes the
 * first use of the class throw {@link UnsatisfiedLinkError}.
 *
 * <p>All methods are static and thread-safe: the library keeps no state, so
 * any number of threads may call them at once. A call needs about 90 KB
 * of native stack, which every Java thread has, even one created with the
 * smallest stack size the JVM allows.
 */
public final class JavaMatcher {
    /** System property naming the library file; see the class description. */
    public static final String LIBRARY_PROPERTY = "fpmatch.library";

    static {
        String path = System.getProperty(LIBRARY_PROPERTY);
        if (path != null && !path.isEmpty()) {
            System.load(new java.io.File(path).getAbsolutePath());
        } else {
            System.loadLibrary("fpmatch");
        }
    }

    private JavaMatcher() {
    }

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
