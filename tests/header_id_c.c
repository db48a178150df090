/* The identification library's header must compile as plain C99 too. */
#include "fpmatch_id.h"

int fpmatch_id_header_c_probe(void);
int fpmatch_id_header_c_probe(void) {
    FpmSearchOptions options;
    FpmHit hit = {0, 0, 0, {0}};
    FpmSearchOptionsInit(&options);
    return options.top + hit.score + (int)sizeof(FpmEntry) + (int)sizeof(FpmGalleryStat) + FpmFromCoreCode(0, 0);
}
