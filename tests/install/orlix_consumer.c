/* A program built against the installed SDK alone: the installed header compiles as C and the
 * installed library links and answers. */
#include <Orlix.h>
#include <stdio.h>

int main(void)
{
    if (Orlix_GetAPIVersion() != ORLIX_API_VERSION) {
        fprintf(stderr, "Orlix_GetAPIVersion: %d\n", Orlix_GetAPIVersion());
        return 1;
    }
    if (Orlix_DeInitialize() != 0) {
        fprintf(stderr, "Orlix_DeInitialize failed\n");
        return 1;
    }
    return 0;
}
