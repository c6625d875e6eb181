/* A C host built against an installed Karvex: it must compile as C, link and run. */
#include <karvex/karvex.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    karvex_string* s = karvex_string_create("税控器");
    if (!s || strcmp(karvex_string_get(s), "税控器") != 0) return 1;
    karvex_string_free(s);
    if (karvex_Status(NULL) != KARVEX_ERR_NULL_ARGUMENT) return 2;
    printf("karvex %s\n", karvex_version());
    return 0;
}
