/* The identification library from C, as docs/identification-library.md
 * shows it:
 *
 *   identify GALLERY PROBE TEMPLATE...
 *
 * creates GALLERY, enrols every TEMPLATE file under its folder-and-finger
 * subject (DB1_B/101_3.iso -> DB1_B/101), commits, and prints the five best
 * subjects for PROBE, one "RANK SUBJECT SCORE" line each. */
#include <stdio.h>
#include <stdlib.h>

#include <fpmatch_id.h>

static long ReadTemplate(const char *path, uint8_t *out, size_t capacity) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) return -1;
    const size_t n = fread(out, 1, capacity, f);
    fclose(f);
    return (long)n;
}

static int Fail(const char *what) {
    fprintf(stderr, "identify: %s: %s\n", what, FpmLastErrorDetail());
    return 1;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: identify GALLERY PROBE TEMPLATE...\n");
        return 2;
    }
    FpmGallery *gallery = NULL;
    if (FpmGalleryCreate(argv[1], &gallery) != FPM_OK) return Fail("create");
    uint8_t buffer[4096];
    for (int i = 3; i < argc; ++i) {
        char subject[FPM_SUBJECT_MAX + 1];
        const long n = ReadTemplate(argv[i], buffer, sizeof buffer);
        if (n < 0 || FpmSubjectFromPath(argv[i], subject) < 0 ||
            FpmGalleryAdd(gallery, subject, buffer, (size_t)n, FPM_ADD_ADAPT) != FPM_OK)
            return Fail(argv[i]);
    }
    if (FpmGalleryCommit(gallery) != FPM_OK) return Fail("commit");

    const long n = ReadTemplate(argv[2], buffer, sizeof buffer);
    if (n < 0) return Fail(argv[2]);
    FpmSearchOptions options;
    FpmSearchOptionsInit(&options);
    options.top = 5;
    options.adaptProbe = 1;
    FpmHit hits[5];
    const int32_t found = FpmGalleryIdentify(gallery, buffer, (size_t)n, &options, hits, 5);
    if (found < 0) return Fail("identify");
    for (int32_t k = 0; k < found; ++k) printf("%d %s %d\n", k + 1, hits[k].subject, hits[k].score);
    FpmGalleryClose(gallery);
    return 0;
}
