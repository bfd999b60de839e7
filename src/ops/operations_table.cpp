#include "ops/operations.h"

const OperationsTable OperationsTableDsd = {
    nullptr,            /* 0 */
    DsdRelease,         /* 1 release */
    DsdGetLength,       /* 2 get length */
    DsdGetTags,         /* 3 get tags */
    DsdGetFilePosition, /* 4 get file position */
    DsdGetInfo,         /* 5 get info */
    DsdCanSetPosition,  /* 6 can-set-position */
    DsdSetPosition,     /* 7 set position */
    nullptr,            /* 8 */
    nullptr,            /* 9 */
    nullptr,            /* 10 */
    nullptr,            /* 11 */
    nullptr,            /* 12 */
    DsdAttribute,       /* 13 attribute get/set */
    nullptr,            /* 14 */
};
