/* Opens a missing file through the installed add-on: the host must report that it cannot. */
#include <stdio.h>

#include "velmdsd.h"

int main(int argc, char **argv)
{
    uint32_t stream = VELM_DSD_StreamCreateFile(0, argc > 1 ? argv[1] : "missing.dsf", 0, 0, 0, 0);
    int code = VELM_ErrorGetCode();
    printf("host %08x, stream %u, error %d\n", (unsigned)VELM_GetVersion(), (unsigned)stream, code);
    return stream == 0 && code == VELM_ERROR_FILEOPEN ? 0 : 1;
}
