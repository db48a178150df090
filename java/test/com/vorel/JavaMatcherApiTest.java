package com.vorel;

import java.io.BufferedInputStream;
import java.io.DataInputStream;
import java.io.File;
import java.io.FileInputStream;
import java.io.IOException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.jar.JarFile;

/**
 * Drives checkTemplate, adaptIsoRecord, match and search of JavaMatcher in a
 * real JVM against what the C API gives (written by the native helper
 * write_api_expectations).
 *
 * <p>Usage: {@code JavaMatcherApiTest EXPECTATIONS_FILE}. Exit status 0 when
 * every check passes.
 */
public final class JavaMatcherApiTest {
    private static final class Record {
        String name;
        byte[] bytes;
        int check;
        int adaptResult;
        byte[] adapted;
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

    private static void checkEquals(Object expected, Object actual, String what) {
        check(expected.equals(actual), what + ": expected " + expected + ", got " + actual);
    }

    private static byte[] readBytes(DataInputStream in) throws IOException {
        byte[] b = new byte[in.readInt()];
        in.readFully(b);
        return b;
    }

    /** The ranking search promises: score descending, equal scores by lower index, the k first. */
    private static List<JavaMatcher.Hit> ranking(int[] scores, int k) {
        List<JavaMatcher.Hit> all = new ArrayList<>();
        for (int i = 0; i < scores.length; ++i) {
            all.add(new JavaMatcher.Hit(i, scores[i]));
        }
        all.sort((a, b) -> a.score != b.score ? Integer.compare(b.score, a.score) : Integer.compare(a.index, b.index));
        return all.subList(0, Math.min(k, all.size()));
    }

    public static void main(String[] args) throws Exception {
        if (args.length != 1) {
            System.err.println("usage: JavaMatcherApiTest EXPECTATIONS_FILE");
            System.exit(2);
        }
        try (DataInputStream in = new DataInputStream(new BufferedInputStream(new FileInputStream(args[0])))) {
            byte[] magic = new byte[4];
            in.readFully(magic);
            if (!new String(magic, "US-ASCII").equals("FPJA") || in.readInt() != 1) {
                throw new IOException(args[0] + ": not an API expectations file of version 1");
            }
            int count = in.readInt();
            Record[] records = new Record[count];
            for (int i = 0; i < count; ++i) {
                Record r = new Record();
                r.name = in.readUTF();
                r.bytes = readBytes(in);
                r.check = in.readInt();
                r.adaptResult = in.readInt();
                r.adapted = readBytes(in);
                records[i] = r;
            }

            // Versions: the library's and the jar manifest's agree. (The
            // manifest is read from the jar itself: this test's classes share
            // the package, so Package may come from the test jar.)
            String jarVersion;
            try (JarFile jar = new JarFile(new File(
                    JavaMatcher.class.getProtectionDomain().getCodeSource().getLocation().toURI()))) {
                jarVersion = jar.getManifest().getMainAttributes().getValue("Implementation-Version");
            }
            checkEquals(String.valueOf(jarVersion), JavaMatcher.versionString(),
                    "library version against the jar manifest");

            // checkTemplate and adaptIsoRecord, one record at a time; the
            // record's array is left as it was.
            for (Record r : records) {
                byte[] before = r.bytes.clone();
                checkEquals(r.check, JavaMatcher.checkTemplate(r.bytes), r.name + ": checkTemplate");
                if (r.adaptResult >= 0) {
                    byte[] adapted = JavaMatcher.adaptIsoRecord(r.bytes);
                    check(Arrays.equals(r.adapted, adapted), r.name + ": adapted bytes as AdaptIsoRecord writes them");
                    check(Arrays.equals(adapted, JavaMatcher.adaptIsoRecord(adapted)), r.name + ": adapts to itself");
                } else {
                    try {
                        JavaMatcher.adaptIsoRecord(r.bytes);
                        check(false, r.name + ": adaptIsoRecord should refuse with " + r.adaptResult);
                    } catch (JavaMatcher.RecordRefusedException e) {
                        checkEquals(r.adaptResult, e.getCode(), r.name + ": refusal code");
                        // Worded by the library's table of texts, which knows every refusal.
                        check(e.getMessage().endsWith(" (code " + r.adaptResult + ")")
                                && !e.getMessage().contains("unknown code"), r.name + ": refusal text " + e.getMessage());
                    }
                }
                check(Arrays.equals(before, r.bytes), r.name + ": array unchanged");
            }
            checkEquals(JavaMatcher.NULL_INPUT, JavaMatcher.checkTemplate(null), "checkTemplate(null)");
            checkEquals(JavaMatcher.TRUNCATED, JavaMatcher.checkTemplate(new byte[0]), "checkTemplate(empty)");

            // match, on the records as they are and adapted.
            int pairs = in.readInt();
            for (int p = 0; p < pairs; ++p) {
                Record probe = records[in.readInt()];
                Record gallery = records[in.readInt()];
                int raw = in.readInt();
                int adapted = in.readInt();
                String what = probe.name + " vs " + gallery.name;
                checkEquals(raw, JavaMatcher.match(probe.bytes, gallery.bytes), what + ": match");
                checkEquals(adapted, JavaMatcher.match(probe.adapted, gallery.adapted), what + ": match, adapted");
            }
            checkEquals(0, JavaMatcher.match(null, records[0].bytes), "match(null, gallery)");

            // search over a list laid out at a stride, and over the same
            // entries as a List.
            Record probe = records[in.readInt()];
            int stride = in.readInt();
            byte[] list = readBytes(in);
            int[] scores = new int[in.readInt()];
            for (int i = 0; i < scores.length; ++i) {
                scores[i] = in.readInt();
            }
            byte[] listBefore = list.clone();
            List<byte[]> gallery = new ArrayList<>();
            for (int at = 0; at < list.length; at += stride) {
                gallery.add(Arrays.copyOfRange(list, at, Math.min(list.length, at + stride)));
            }
            for (int k : new int[] {1, 3, scores.length, scores.length + 5}) {
                List<JavaMatcher.Hit> expected = ranking(scores, k);
                checkEquals(expected, Arrays.asList(JavaMatcher.search(probe.adapted, list, stride, k)),
                        "search, k " + k);
                checkEquals(expected, Arrays.asList(JavaMatcher.search(probe.adapted, gallery, k)),
                        "search of a List, k " + k);
            }
            check(Arrays.equals(listBefore, list), "search leaves the list unchanged");
            checkEquals(0, JavaMatcher.search(probe.adapted, new byte[0], stride, 3).length, "search of an empty list");
            try {
                JavaMatcher.search(new byte[] {3, 0, 0, 0}, list, stride, 3);
                check(false, "search with a probe of count 0 should throw");
            } catch (IllegalArgumentException expected) {
                check(expected.getMessage().contains("checkTemplate gives 2"), "probe refusal names the code");
            }

            // The search prepares a probe on the native stack: a thread with
            // the smallest stack the JVM grants still has room.
            final JavaMatcher.Hit[][] small = new JavaMatcher.Hit[1][];
            Thread thread = new Thread(null, () -> small[0] = JavaMatcher.search(probe.adapted, list, stride, 3),
                    "smallest stack", 1);
            thread.start();
            thread.join();
            checkEquals(ranking(scores, 3), small[0] == null ? null : Arrays.asList(small[0]),
                    "search on the smallest stack");

            int positive = 0;
            for (int s : scores) {
                positive += s > 0 ? 1 : 0;
            }
            System.out.println(count + " records, " + pairs + " pairs, " + scores.length + " search entries ("
                    + positive + " scoring above 0), " + checks + " checks, " + failures + " failed");
        }
        System.exit(failures == 0 ? 0 : 1);
    }
}
