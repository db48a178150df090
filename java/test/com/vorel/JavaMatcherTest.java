package com.vorel;

import java.io.BufferedInputStream;
import java.io.DataInputStream;
import java.io.FileInputStream;
import java.io.IOException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Random;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * Drives JavaMatcher.MatchTemplates in a real JVM.
 *
 * <p>Usage: {@code JavaMatcherTest EXPECTATIONS_FILE [--quick | --expect-load-failure [PATH_NAMED]]}.
 * The file, written by the native test helper write_expectations, holds
 * calls with the score the C API gives for each (Match2Fp on every listed
 * probe, best kept). Exit status 0 when every check passes.
 */
public final class JavaMatcherTest {
    private static final class Case {
        String name;
        byte[] probes;
        int listLength;
        byte[] gallery;
        int stride;
        int expected;

        int run() {
            return JavaMatcher.MatchTemplates(probes, listLength, gallery, stride);
        }
    }

    private static int checks;
    private static int failures;

    private static void check(boolean ok, String what) {
        ++checks;
        if (!ok) {
            ++failures;
            System.out.println("FAILED: " + what);
        }
    }

    private static void checkEquals(int expected, int actual, String what) {
        check(expected == actual, what + ": expected " + expected + ", got " + actual);
    }

    private static List<Case> readCases(String path) throws IOException {
        try (DataInputStream in = new DataInputStream(new BufferedInputStream(new FileInputStream(path)))) {
            byte[] magic = new byte[4];
            in.readFully(magic);
            if (!new String(magic, "US-ASCII").equals("FPJX") || in.readInt() != 1) {
                throw new IOException(path + ": not an expectations file of version 1");
            }
            int count = in.readInt();
            List<Case> cases = new ArrayList<>();
            for (int i = 0; i < count; ++i) {
                Case c = new Case();
                c.name = in.readUTF();
                c.probes = new byte[in.readInt()];
                in.readFully(c.probes);
                c.listLength = in.readInt();
                c.gallery = new byte[in.readInt()];
                in.readFully(c.gallery);
                c.stride = in.readInt();
                c.expected = in.readInt();
                cases.add(c);
            }
            return cases;
        }
    }

    /** Every call scores as the C API says and leaves both arrays as they were. */
    private static void testCases(List<Case> cases) {
        for (Case c : cases) {
            byte[] probesBefore = c.probes.clone();
            byte[] galleryBefore = c.gallery.clone();
            checkEquals(c.expected, c.run(), c.name);
            check(Arrays.equals(probesBefore, c.probes) && Arrays.equals(galleryBefore, c.gallery),
                    c.name + ": arrays unchanged");
        }
    }

    /** Calls the native side must refuse without touching the arrays. */
    private static void testRefusedCalls(Case c) {
        int length = c.probes.length;
        checkEquals(0, JavaMatcher.MatchTemplates(null, length, c.gallery, c.stride), "null probe list");
        checkEquals(0, JavaMatcher.MatchTemplates(c.probes, length, null, c.stride), "null gallery");
        checkEquals(0, JavaMatcher.MatchTemplates(null, length, null, c.stride), "both null");
        checkEquals(0, JavaMatcher.MatchTemplates(c.probes, length, c.gallery, 0), "stride 0");
        checkEquals(0, JavaMatcher.MatchTemplates(c.probes, length, c.gallery, -c.stride), "negative stride");
        checkEquals(0, JavaMatcher.MatchTemplates(c.probes, -length, c.gallery, -c.stride),
                "negative stride and negative listLength");
        checkEquals(0, JavaMatcher.MatchTemplates(c.probes, length, c.gallery, Integer.MIN_VALUE), "stride MIN_VALUE");
        checkEquals(0, JavaMatcher.MatchTemplates(c.probes, Integer.MIN_VALUE, c.gallery, c.stride),
                "listLength MIN_VALUE");
        checkEquals(0, JavaMatcher.MatchTemplates(new byte[0], Integer.MAX_VALUE, c.gallery, 1),
                "empty probe list, listLength MAX_VALUE");
        checkEquals(0, JavaMatcher.MatchTemplates(c.probes, length, new byte[0], c.stride), "empty gallery");
        checkEquals(0, JavaMatcher.MatchTemplates(c.probes, length, new byte[] {3}, c.stride), "one-byte gallery");
        checkEquals(0, JavaMatcher.MatchTemplates(new byte[] {3, 0, 0, 1}, Integer.MAX_VALUE, c.gallery, 1),
                "four-byte probe list declaring a minutia");
    }

    /** Several threads at once get the results of one thread. */
    private static void testThreads(final List<Case> cases, int threads, int rounds) throws Exception {
        final int[] single = new int[cases.size()];
        for (int i = 0; i < single.length; ++i) {
            single[i] = cases.get(i).run();
        }
        ExecutorService pool = Executors.newFixedThreadPool(threads);
        try {
            List<Future<String>> results = new ArrayList<>();
            for (int t = 0; t < threads; ++t) {
                final long seed = t;
                final int repeat = rounds;
                results.add(pool.submit(() -> {
                    List<Integer> order = new ArrayList<>();
                    for (int r = 0; r < repeat; ++r) {
                        for (int i = 0; i < cases.size(); ++i) {
                            order.add(i);
                        }
                    }
                    Collections.shuffle(order, new Random(seed));
                    for (int i : order) {
                        int got = cases.get(i).run();
                        if (got != single[i]) {
                            return cases.get(i).name + ": " + got + " instead of " + single[i];
                        }
                    }
                    return null;
                }));
            }
            for (Future<String> f : results) {
                String error = f.get();
                check(error == null, "threads: " + error);
            }
        } finally {
            pool.shutdown();
        }
    }

    /**
     * A thread created with the smallest stack the JVM grants still has room
     * for the native comparison.
     */
    private static void testSmallestStack(final List<Case> cases) throws Exception {
        final int[] got = new int[cases.size()];
        Thread small = new Thread(null, () -> {
            for (int i = 0; i < got.length; ++i) {
                got[i] = cases.get(i).run();
            }
        }, "smallest stack", 1);  // rounded up to the JVM's minimum
        small.start();
        small.join();
        for (int i = 0; i < got.length; ++i) {
            checkEquals(cases.get(i).expected, got[i], "smallest stack: " + cases.get(i).name);
        }
    }

    private static volatile int fence;

    /**
     * A byte another thread stores into the probe array while calls run is
     * never undone by the calls (the arrays are released without copying
     * the unchanged bytes back).
     */
    private static void testConcurrentWritesSurvive(Case c) throws Exception {
        final byte[] probes = Arrays.copyOf(c.probes, c.probes.length + 1);  // one spare byte past the list
        final int slot = probes.length - 1;
        final AtomicBoolean done = new AtomicBoolean();
        final int listLength = Math.min(c.listLength, c.probes.length);
        Thread caller = new Thread(() -> {
            for (int i = 0; i < 300; ++i) {
                JavaMatcher.MatchTemplates(probes, listLength, c.gallery, c.stride);
            }
            done.set(true);
        });
        caller.start();
        long undone = 0;
        byte value = 0;
        while (!done.get()) {
            probes[slot] = ++value;
            for (int i = 0; i < 2000; ++i) {
                int unused = fence;  // keeps the read inside the loop
                if (probes[slot] != value) {
                    ++undone;
                    break;
                }
            }
        }
        caller.join();
        check(undone == 0, "a concurrent write into the array was undone " + undone + " times");
    }

    public static void main(String[] args) throws Exception {
        if (args.length < 1) {
            System.err.println("usage: JavaMatcherTest EXPECTATIONS_FILE [--quick | --expect-load-failure]");
            System.exit(2);
        }
        String mode = args.length > 1 ? args[1] : "";
        if (mode.equals("--expect-load-failure")) {
            try {
                JavaMatcher.MatchTemplates(new byte[0], 0, new byte[0], 1);
                System.out.println("FAILED: the library loaded");
                System.exit(1);
            } catch (UnsatisfiedLinkError expected) {
                // The message names the property and the file or path tried.
                String message = expected.getMessage();
                System.out.println("library not loaded, as expected: " + message);
                boolean named = message.contains(JavaMatcher.LIBRARY_PROPERTY)
                        && (args.length < 3 || message.contains(args[2]));
                if (!named) {
                    System.out.println("FAILED: the message does not name " + JavaMatcher.LIBRARY_PROPERTY
                            + (args.length < 3 ? "" : " and " + args[2]));
                }
                System.exit(named ? 0 : 1);
            }
        }
        List<Case> cases = readCases(args[0]);
        check(!cases.isEmpty(), "expectations file holds cases");
        if (mode.equals("--quick")) {
            testCases(cases.subList(0, Math.min(3, cases.size())));
        } else {
            testCases(cases);
            testRefusedCalls(cases.get(0));
            testThreads(cases, 8, 2);
            testSmallestStack(cases);
            testConcurrentWritesSurvive(cases.get(0));
        }
        System.out.println(cases.size() + " cases, " + checks + " checks, " + failures + " failed");
        System.exit(failures == 0 ? 0 : 1);
    }
}
