/* The Java form of tags. */
#include "host/host.h"
#include "ops/operations.h"

const void *DsdJavaTag(const DsdStream *stream, uint32_t type, const void *tag)
{
    (void)stream;
    if (type >= TAG_DSD_COMMENT_BASE) {
        /* No Java comment class is reachable yet. */
        SetError(ERROR_JAVA_CLASS);
        return nullptr;
    }
    if (type == TAG_DSD_ARTIST || type == TAG_DSD_TITLE)
        return hostJavaFunctions->NewJavaString(hostJavaFunctions->GetJavaEnv(), static_cast<const char *>(tag));
    SetError(ERROR_JAVA_TYPE);
    return nullptr;
}
