/* A library a hostile connection string would have the driver manager load
 * as its driver: loading it is enough to leave a mark, the file named by
 * QUORVANE_PLANTED_MARK. */
#include <stdio.h>
#include <stdlib.h>

__attribute__((constructor)) static void leave_mark(void)
{
    const char* path = getenv("QUORVANE_PLANTED_MARK");
    FILE* mark = path ? fopen(path, "w") : NULL;
    if (mark) {
        fputs("loaded\n", mark);
        fclose(mark);
    }
}
