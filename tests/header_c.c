/* The public header must compile as plain C99. */
#include "fpmatch.h"

int fpmatch_header_c_probe(void);
int fpmatch_header_c_probe(void) {
    FeatureSet fs = {0};
    BasePair pair = {0, 0, 0, 0};
    return (int)sizeof(fs) + pair.pairScore + (int)sizeof(CharNode) + AlgVersion();
}
