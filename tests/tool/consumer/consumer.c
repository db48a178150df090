/* Uses the installed library: versions, a template check and a comparison of
 * a small native template with itself. Exits 0 when all behave. */
#include <stdio.h>
#include <string.h>

#include <fpmatch.h>

static void PutMinutia(uint8_t *t, int i, int x, int y, int angle, int type) {
    const uint32_t w = ((uint32_t)x & 0x1FFu) << 23 | ((uint32_t)y & 0x1FFu) << 14 | ((uint32_t)angle & 0x1FFu) << 5 |
                       10u << 1 | ((uint32_t)type & 1u);
    t[56 + 4 * i] = (uint8_t)(w >> 24);
    t[57 + 4 * i] = (uint8_t)(w >> 16);
    t[58 + 4 * i] = (uint8_t)(w >> 8);
    t[59 + 4 * i] = (uint8_t)w;
}

int main(void) {
    static const int points[][4] = {
        {100, 120, 30, 0}, {140, 110, 80, 1}, {120, 160, 200, 0}, {90, 180, 300, 1}, {160, 170, 10, 0},
        {130, 140, 120, 1}, {110, 90, 250, 0}, {170, 130, 340, 1}, {80, 140, 60, 0}, {150, 200, 170, 1},
        {115, 210, 90, 0}, {175, 95, 220, 1}};
    const int n = (int)(sizeof points / sizeof points[0]);
    uint8_t t[56 + 4 * 12];
    memset(t, 0, sizeof t);
    t[0] = 3;
    t[2] = 60;
    t[3] = (uint8_t)n;
    for (int i = 0; i < n; ++i) PutMinutia(t, i, points[i][0], points[i][1], points[i][2], points[i][3]);
    const int32_t version = AlgVersion();
    const int32_t check = CheckTemplate(t, sizeof t);
    const int32_t score = Match2Score(t, t);
    const char *library = VersionString();
    printf("fpmatch %s (header %s), AlgVersion %d, CheckTemplate %d, self score %d\n", library,
           FPMATCH_VERSION_STRING, version, check, score);
    return version == 1 && check == 0 && score > 0 && strcmp(library, FPMATCH_VERSION_STRING) == 0 ? 0 : 1;
}
