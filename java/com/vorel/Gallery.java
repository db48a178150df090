/*
 * Copyright 2026 the fpmatch authors.
 * SPDX-License-Identifier: Apache-2.0
 */
package com.vorel;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.locks.ReentrantReadWriteLock;

/**
 * A gallery of enrolled subjects kept in one file, from the fpmatch
 * identification library: templates are added under a subject id,
 * subjects removed, changes committed in one step, and a probe identified
 * among the subjects (a subject scores its best template's score, what
 * {@link JavaMatcher#match} gives).
 *
 * <p>One writer at a time: opening for writing locks the file, and a second
 * writer (in this process or another) is refused. Any number of readers;
 * a reader sees later commits after {@link #refresh}. Changes are visible
 * to searches after {@link #commit}.
 *
 * <p>A gallery may be used from several threads at once; {@link #close}
 * waits for the calls under way. Every failure throws
 * {@link GalleryException} with the library's text. The native library is
 * found as {@link JavaMatcher} describes.
 */
public final class Gallery implements AutoCloseable {
    private final ReentrantReadWriteLock lock = new ReentrantReadWriteLock();
    private long handle;

    static {
        JavaMatcher.versionString(); // loads the native library
    }

    private Gallery(long handle) {
        this.handle = handle;
    }

    /** One hit of {@link #identify}. */
    public static final class Hit {
        /** The subject id. */
        public final String subject;
        /** Score, 0 to 100. */
        public final int score;
        /** Id of the template that gave the score. */
        public final long entry;

        Hit(String subject, int score, long entry) {
            this.subject = subject;
            this.score = score;
            this.entry = entry;
        }

        @Override
        public String toString() {
            return subject + ":" + score + ":" + entry;
        }
    }

    /** A failure of the identification library, with its code and text. */
    public static final class GalleryException extends RuntimeException {
        private static final long serialVersionUID = 1L;
        /** The library's code. */
        private final int code;

        GalleryException(int code, String message) {
            super(message);
            this.code = code;
        }

        /**
         * The library's code (FPM_E_* of fpmatch_id.h).
         *
         * @return the code, negative
         */
        public int code() {
            return code;
        }
    }

    /**
     * Creates a new empty gallery file and opens it for writing.
     *
     * @param path the file, which must not exist
     * @return the open gallery
     */
    public static Gallery create(String path) {
        long[] out = new long[1];
        check(nativeCreate(utf8(path), out));
        return new Gallery(out[0]);
    }

    /**
     * Opens a gallery file.
     *
     * @param path the file
     * @param writable true to change it (takes the writer's lock)
     * @return the open gallery
     */
    public static Gallery open(String path, boolean writable) {
        long[] out = new long[1];
        check(nativeOpen(utf8(path), writable ? 1 : 0, out));
        return new Gallery(out[0]);
    }

    /**
     * Adds a template under a subject id; visible after {@link #commit}.
     *
     * @param subject 1 to 255 bytes of UTF-8 without control characters
     * @param template a native template or ISO/IEC 19794-2:2005 record
     * @param adapt adapt an ISO record first ({@link JavaMatcher#adaptIsoRecord})
     */
    public void add(String subject, byte[] template, boolean adapt) {
        if (template == null) {
            throw new NullPointerException("template");
        }
        byte[] id = utf8(subject);
        run(h -> nativeAdd(h, id, template, adapt ? 1 : 0));
    }

    /**
     * Removes every template of a subject; done on {@link #commit}.
     *
     * @param subject the subject id
     * @return the number of templates removed
     */
    public int remove(String subject) {
        byte[] id = utf8(subject);
        return run(h -> nativeRemove(h, id));
    }

    /** Makes the added and removed templates durable, in one step. */
    public void commit() {
        run(Gallery::nativeCommit);
    }

    /** Drops the changes not yet committed. */
    public void discard() {
        run(Gallery::nativeDiscard);
    }

    /** Rewrites the file without its removed templates; results stay the same. */
    public void compact() {
        run(Gallery::nativeCompact);
    }

    /**
     * Moves to the last committed state of the file.
     *
     * @return true when the state changed
     */
    public boolean refresh() {
        return run(Gallery::nativeRefresh) == 1;
    }

    /** Verifies every checksum of the file; throws when it is damaged. */
    public void check() {
        run(Gallery::nativeCheck);
    }

    /**
     * The number of templates that can be found.
     *
     * @return the count
     */
    public long size() {
        long[] counts = new long[3];
        run(h -> nativeCounts(h, counts));
        return counts[0];
    }

    /**
     * The number of templates that can be found and are stored with a compact
     * record, which a search compares without decoding the template: all of
     * them from fpmatch 1.1 on. Parts written before are searched all the same,
     * more slowly, until {@link #compact()} prepares them.
     *
     * @return the count
     */
    public long prepared() {
        long[] out = new long[1];
        run(h -> nativePrepared(h, out));
        return out[0];
    }

    /**
     * The subject ids, in the order of their first template.
     *
     * @return the ids
     */
    public List<String> subjects() {
        long[] counts = new long[3];
        run(h -> nativeCounts(h, counts));
        List<String> out = new ArrayList<>();
        byte[] buffer = new byte[256];
        for (long k = 0; k < counts[1]; ++k) {
            final long index = k;
            int n = run(h -> nativeSubject(h, index, buffer));
            out.add(new String(buffer, 0, n, StandardCharsets.UTF_8));
        }
        return Collections.unmodifiableList(out);
    }

    /**
     * Identifies a probe among the subjects on every core, best first.
     *
     * @param probe the probe template
     * @param top hits wanted (0: all)
     * @return the hits: score descending, equal scores by lower template id
     */
    public List<Hit> identify(byte[] probe, int top) {
        return identify(probe, top, 0, 0, 0, false, false);
    }

    /**
     * Identifies a probe.
     *
     * @param probe the probe template
     * @param top hits wanted (0: all)
     * @param threshold only hits scoring at least this, 0 to 100
     * @param threads threads to use (0: every core)
     * @param screen 0, or screen first and compare this many candidates in full
     * @param byEntry rank templates instead of subjects
     * @param adapt adapt an ISO probe first
     * @return the hits, best first
     */
    public List<Hit> identify(byte[] probe, int top, int threshold, int threads, int screen, boolean byEntry,
            boolean adapt) {
        if (probe == null) {
            throw new NullPointerException("probe");
        }
        int capacity = capacity(top, byEntry);
        long[] entries = new long[capacity];
        int[] scores = new int[capacity];
        byte[][] subjects = new byte[capacity][];
        int n = run(h -> nativeIdentify(h, probe, top, threshold, threads, screen, byEntry ? 1 : 0, adapt ? 1 : 0,
                entries, scores, subjects));
        return hits(entries, scores, subjects, 0, n);
    }

    // Hits one search can give: top, at most what the gallery ranks.
    private int capacity(int top, boolean byEntry) {
        if (top < 0) {
            throw new IllegalArgumentException("top must be 0 (all) or more: " + top);
        }
        long[] counts = new long[3];
        run(h -> nativeCounts(h, counts));
        int capacity = (int) Math.min(Integer.MAX_VALUE - 8, byEntry ? counts[0] : counts[1]);
        return top > 0 ? Math.min(capacity, top) : capacity;
    }

    private static List<Hit> hits(long[] entries, int[] scores, byte[][] subjects, int from, int n) {
        List<Hit> hits = new ArrayList<>(n);
        for (int k = from; k < from + n; ++k) {
            hits.add(new Hit(new String(subjects[k], StandardCharsets.UTF_8), scores[k], entries[k]));
        }
        return Collections.unmodifiableList(hits);
    }

    /**
     * Identifies several probes in one pass over the gallery: each probe's
     * hits are those {@link #identify(byte[], int, int, int, int, boolean, boolean)}
     * gives it with the same arguments, and a full search reads each stored
     * template once for all of them, so a batch is faster than one call per
     * probe.
     *
     * @param probes the probe templates
     * @param top hits wanted per probe (0: all)
     * @param threshold only hits scoring at least this, 0 to 100
     * @param threads threads to use (0: every core)
     * @param screen 0, or screen first and compare this many candidates in full
     * @param byEntry rank templates instead of subjects
     * @param adapt adapt ISO probes first
     * @return each probe's hits, best first, in the order of the probes
     * @throws GalleryException for a probe the library refuses ("probe K: ...")
     */
    public List<List<Hit>> identifyBatch(byte[][] probes, int top, int threshold, int threads, int screen,
            boolean byEntry, boolean adapt) {
        if (probes == null) {
            throw new NullPointerException("probes");
        }
        for (int k = 0; k < probes.length; ++k) {
            if (probes[k] == null) {
                throw new NullPointerException("probe " + k);
            }
        }
        int capacity = capacity(top, byEntry);
        long size = (long) capacity * probes.length;
        if (size > Integer.MAX_VALUE - 8) {
            throw new IllegalArgumentException("probes times hits wanted exceed an array: " + size);
        }
        long[] entries = new long[(int) size];
        int[] scores = new int[(int) size];
        byte[][] subjects = new byte[(int) size][];
        int[] counts = new int[probes.length];
        run(h -> nativeIdentifyBatch(h, probes, top, threshold, threads, screen, byEntry ? 1 : 0, adapt ? 1 : 0,
                capacity, entries, scores, subjects, counts));
        List<List<Hit>> out = new ArrayList<>(probes.length);
        for (int k = 0; k < probes.length; ++k) {
            if (counts[k] < 0) {
                throw new GalleryException(counts[k], "probe " + k + ": " + codeText(counts[k]));
            }
            out.add(hits(entries, scores, subjects, k * capacity, counts[k]));
        }
        return Collections.unmodifiableList(out);
    }

    /**
     * The best score of a probe against one subject's templates.
     *
     * @param subject the subject id
     * @param probe the probe template
     * @param adapt adapt an ISO probe first
     * @return the score, 0 to 100
     */
    public int verify(String subject, byte[] probe, boolean adapt) {
        if (probe == null) {
            throw new NullPointerException("probe");
        }
        byte[] id = utf8(subject);
        return run(h -> nativeVerify(h, id, probe, adapt ? 1 : 0));
    }

    /** Closes the gallery, dropping uncommitted changes and the writer's lock. */
    @Override
    public void close() {
        lock.writeLock().lock();
        try {
            if (handle != 0) {
                nativeClose(handle);
                handle = 0;
            }
        } finally {
            lock.writeLock().unlock();
        }
    }

    private interface Call {
        int apply(long handle);
    }

    private int run(Call call) {
        lock.readLock().lock();
        try {
            if (handle == 0) {
                throw new IllegalStateException("the gallery is closed");
            }
            return check(call.apply(handle));
        } finally {
            lock.readLock().unlock();
        }
    }

    private static int check(int code) {
        if (code < 0) {
            throw new GalleryException(code, new String(nativeLastError(), StandardCharsets.UTF_8));
        }
        return code;
    }

    private static byte[] utf8(String s) {
        if (s == null) {
            throw new NullPointerException("subject or path");
        }
        return s.getBytes(StandardCharsets.UTF_8);
    }

    private static native int nativeCreate(byte[] path, long[] handle);

    private static native int nativeOpen(byte[] path, int writable, long[] handle);

    private static native void nativeClose(long handle);

    private static native int nativeAdd(long handle, byte[] subject, byte[] template, int adapt);

    private static native int nativeRemove(long handle, byte[] subject);

    private static native int nativeCommit(long handle);

    private static native int nativeDiscard(long handle);

    private static native int nativeCompact(long handle);

    private static native int nativeRefresh(long handle);

    private static native int nativeCheck(long handle);

    private static native int nativeCounts(long handle, long[] counts);

    private static native int nativePrepared(long handle, long[] out);

    private static native int nativeSubject(long handle, long index, byte[] out);

    private static native int nativeIdentify(long handle, byte[] probe, int top, int threshold, int threads,
            int screen, int byEntry, int adapt, long[] entries, int[] scores, byte[][] subjects);

    private static native int nativeIdentifyBatch(long handle, byte[][] probes, int top, int threshold, int threads,
            int screen, int byEntry, int adapt, int capacity, long[] entries, int[] scores, byte[][] subjects,
            int[] counts);

    private static native int nativeVerify(long handle, byte[] subject, byte[] probe, int adapt);

    private static native byte[] nativeCodeText(int code);

    /** The identification library's fixed text of a code (FpmCodeText): one table for every binding. */
    static String codeText(int code) {
        return new String(nativeCodeText(code), StandardCharsets.UTF_8);
    }

    private static native byte[] nativeLastError();
}
