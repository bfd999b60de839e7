/* Tags: the ID3v2 tag (DSF, or DSDIFF's "ID3 " chunk) and the DSDIFF artist, title and comments. */
#include "host/host.h"
#include "ops/operations.h"

static const void *PlainTag(const DsdStream *s, uint32_t type)
{
    if (type == TAG_ID3V2)
        return s->id3Tag;
    if (type == TAG_DSD_ARTIST)
        return s->artist;
    if (type == TAG_DSD_TITLE)
        return s->title;
    if (type >= TAG_DSD_COMMENT_BASE && type - TAG_DSD_COMMENT_BASE < s->commentCount)
        return s->comments[type - TAG_DSD_COMMENT_BASE];
    return nullptr;
}

const void *DsdGetTags(void *inst, uint32_t type)
{
    const DsdStream *s = static_cast<const DsdStream *>(inst);
    if (!(type & TAG_JAVA_OBJECT))
        return PlainTag(s, type);
    type &= ~TAG_JAVA_OBJECT;
    const void *tag = PlainTag(s, type);
    if (tag == nullptr)
        return nullptr;
    return DsdJavaTag(s, type, tag);
}
