package com.vorel;

import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.HashSet;
import java.util.List;
import java.util.Set;

/**
 * Drives com.vorel.Gallery in a real JVM against the brute-force ranking
 * built from JavaMatcher.match (the C API's Match2Score): enrol FVC2002
 * DB1_B impressions 1-4 of every finger under DB1_B/FINGER, identify
 * impression 5, remove, refresh, compact, verify, and the refusals.
 *
 * <p>Usage: {@code GalleryTest DATA_DIR WORK_DIR}. Exit 0 when every check
 * passes, 77 when the FVC2002 folder is absent.
 */
public final class GalleryTest {
    private static int checks;
    private static int failures;

    private static void check(boolean ok, String what) {
        ++checks;
        if (!ok) {
            ++failures;
            System.out.println("FAILED: " + what);
        }
    }

    private static final class Enrolled {
        final String subject;
        final byte[] template;
        final long id;

        Enrolled(String subject, byte[] template, long id) {
            this.subject = subject;
            this.template = template;
            this.id = id;
        }
    }

    private static byte[] adapted(File f) throws IOException {
        return JavaMatcher.adaptIsoRecord(Files.readAllBytes(f.toPath()));
    }

    /** Subjects by best score, equal scores by lower template id, each once. */
    private static List<String> expected(List<Enrolled> gallery, byte[] probe, Set<String> removed) {
        List<long[]> scored = new ArrayList<>();
        for (int k = 0; k < gallery.size(); ++k) {
            if (!removed.contains(gallery.get(k).subject)) {
                scored.add(new long[] {JavaMatcher.match(probe, gallery.get(k).template), gallery.get(k).id, k});
            }
        }
        scored.sort(Comparator.<long[]>comparingLong(s -> -s[0]).thenComparingLong(s -> s[1]));
        List<String> out = new ArrayList<>();
        Set<String> seen = new HashSet<>();
        for (long[] s : scored) {
            Enrolled e = gallery.get((int) s[2]);
            if (seen.add(e.subject)) {
                out.add(e.subject + ":" + s[0] + ":" + e.id);
            }
        }
        return out;
    }

    private static List<String> describe(List<Gallery.Hit> hits) {
        List<String> out = new ArrayList<>();
        for (Gallery.Hit h : hits) {
            out.add(h.toString());
        }
        return out;
    }

    public static void main(String[] args) throws Exception {
        File db = new File(args[0], "DB1_B");
        if (!db.isDirectory()) {
            System.out.println("GalleryTest: no FVC2002 data at " + db + ", skipped");
            System.exit(77);
        }
        File path = new File(args[1], "java-gallery.fpg");
        path.delete();
        List<Enrolled> enrolled = new ArrayList<>();
        List<byte[]> probes = new ArrayList<>();
        try (Gallery g = Gallery.create(path.getPath())) {
            for (int finger = 101; finger <= 110; ++finger) {
                for (int i = 1; i <= 4; ++i) {
                    byte[] t = adapted(new File(db, finger + "_" + i + ".iso"));
                    g.add("DB1_B/" + finger, t, false);
                    enrolled.add(new Enrolled("DB1_B/" + finger, t, enrolled.size()));
                }
                probes.add(adapted(new File(db, finger + "_5.iso")));
            }
            g.commit();
            try {
                Gallery.open(path.getPath(), true).close();
                check(false, "a second writer is refused");
            } catch (Gallery.GalleryException e) {
                check(e.code() == -5 && e.getMessage().contains("another writer"), "second writer: " + e.getMessage());
            }
        }
        Set<String> removed = new HashSet<>();
        try (Gallery reader = Gallery.open(path.getPath(), false);
                Gallery writer = Gallery.open(path.getPath(), true)) {
            check(reader.size() == 40 && reader.subjects().size() == 10, "counts");
            check(reader.prepared() == 40, "every template enrolled by this version is prepared");
            for (byte[] probe : probes) {
                check(describe(reader.identify(probe, 0)).equals(expected(enrolled, probe, removed)), "identify");
            }
            // A batch: each probe's hits as its own search gives them.
            byte[][] batch = probes.toArray(new byte[0][]);
            List<List<Gallery.Hit>> together = reader.identifyBatch(batch, 3, 0, 2, 0, true, false);
            check(together.size() == batch.length, "one hit list per probe");
            for (int k = 0; k < batch.length; ++k) {
                check(describe(together.get(k)).equals(describe(reader.identify(batch[k], 3, 0, 1, 0, true, false))),
                        "identifyBatch equals identify, probe " + k);
            }
            try {
                reader.identifyBatch(new byte[][] {batch[0], new byte[] {1, 2, 3}}, 3, 0, 0, 0, false, false);
                check(false, "a refused probe in a batch throws");
            } catch (Gallery.GalleryException e) {
                check(e.code() < -100 && e.getMessage().startsWith("probe 1: "), "refused batch probe: " + e.getMessage());
            }
            check(writer.remove("DB1_B/101") == 4, "remove returns the template count");
            writer.commit();
            removed.add("DB1_B/101");
            check(!describe(reader.identify(probes.get(0), 0)).equals(expected(enrolled, probes.get(0), removed)),
                    "a reader keeps its state until refresh");
            check(reader.refresh(), "refresh sees the commit");
            for (byte[] probe : probes) {
                check(describe(reader.identify(probe, 0)).equals(expected(enrolled, probe, removed)),
                        "identify after removal");
            }
            writer.compact();
            check(reader.refresh(), "refresh follows the compaction");
            reader.check();
            List<String> after = describe(reader.identify(probes.get(3), 3));
            check(after.equals(expected(enrolled, probes.get(3), removed).subList(0, 3)), "identify after compaction");
            int best = 0;
            for (Enrolled e : enrolled) {
                if (e.subject.equals("DB1_B/104")) {
                    best = Math.max(best, JavaMatcher.match(probes.get(3), e.template));
                }
            }
            check(reader.verify("DB1_B/104", probes.get(3), false) == best, "verify is the best template's score");
            try {
                writer.add("", probes.get(0), false);
                check(false, "an empty subject id is refused");
            } catch (Gallery.GalleryException e) {
                check(e.getMessage().contains("subject id"), "bad subject text: " + e.getMessage());
            }
            try {
                reader.verify("nobody", probes.get(0), false);
                check(false, "an unknown subject is refused");
            } catch (Gallery.GalleryException e) {
                check(e.getMessage().contains("nobody"), "unknown subject text: " + e.getMessage());
            }
        }
        // A gallery written by fpmatch 1.0 stores no compact records until
        // compaction prepares its templates.
        File old = new File(args[1], "java-gallery-1.0.fpg");
        Files.copy(new File(args[2]).toPath(), old.toPath(), java.nio.file.StandardCopyOption.REPLACE_EXISTING);
        try (Gallery g = Gallery.open(old.getPath(), true)) {
            check(g.prepared() == 0 && g.size() == 4, "a 1.0 gallery: none of 4 prepared");
            g.compact();
            check(g.prepared() == 4, "compaction prepares them");
        }
        Gallery closed = Gallery.open(path.getPath(), false);
        closed.close();
        try {
            closed.size();
            check(false, "a closed gallery refuses calls");
        } catch (IllegalStateException e) {
            check(true, "closed");
        }
        System.out.println("GalleryTest: " + (checks - failures) + " passed, " + failures + " failed");
        System.exit(failures == 0 ? 0 : 1);
    }
}
