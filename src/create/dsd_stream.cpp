#include "create/dsd_stream.h"

#include <stdlib.h>

#include "create/dst_source.h"

DsdStream *DsdStreamAlloc(void)
{
    return static_cast<DsdStream *>(calloc(1, sizeof(DsdStream)));
}

void DsdStreamFreeComments(DsdStream *stream)
{
    if (stream->comments != nullptr) {
        free(stream->comments[0]);
        free(stream->comments);
    }
    stream->comments = nullptr;
    stream->commentCount = 0;
}

void DsdStreamFree(DsdStream *stream)
{
    if (stream == nullptr)
        return;
    free(stream->buffer);
    free(stream->hq);
    DstSourceFree(stream->dst);
    DsdStreamFreeComments(stream);
    free(stream->artist);
    free(stream->title);
    free(stream->id3Tag);
    free(stream);
}
