/* The public header compiled as C11 and linked against libwisam.so alone. */
#include <stdio.h>
#include <string.h>

#include "wisam.h"

int main(void) {
    unsigned char buffer[8];
    uint32_t counters[4][2];
    int i;
    /* The byte counters start at zero when the library is loaded. */
    getIsamProfileData(counters[0], counters[1], counters[2], counters[3]);
    for (i = 0; i < 4; ++i) {
        if (counters[i][0] != 0 || counters[i][1] != 0) return 6;
    }
    KeyDesc key;
    memset(&key, 0, sizeof key);
    key.flags = ISKEY_DUPS;
    key.partCount = 1;
    key.parts[0].type = ISTYPE_LONG | ISTYPE_DESC;
    stLong(-2, buffer);
    if (ldLong(buffer) != -2) return 1;
    if (strcmp(isversnumber, "6.12") != 0) return 2;
    if (is_nerr != ENOLOCKS || strcmp(is_errlist[EDUPL - 100], "Duplicate record") != 0) return 3;
    if (isErrno(NULL) < 0 || isThreaded() != 1) return 4;
    puts("header_c11: ok");
    return 0;
}
