/* Channel info, the gain, rate, speaker and compression attributes, and release. */
#include "convert/filter.h"
#include "convert/hq_decimator.h"
#include "create/dst_source.h"
#include "host/host.h"
#include "ops/operations.h"

void DsdRelease(void *inst)
{
    DsdStreamFree(static_cast<DsdStream *>(inst));
}

void DsdGetInfo(void *inst, ChannelInfo *info)
{
    const DsdStream *s = static_cast<const DsdStream *>(inst);
    info->ctype = CTYPE_DSD;
    info->flags |= s->flags & (DSD_RAW | DSD_DOP);
    if (s->flags & DSD_DOP)
        info->origres = 24; /* marker byte and two DSD bytes */
}

/* The DST frame count, the broken frames, or the declared sound bytes over the stored ones. */
static float CompressionValue(const DsdStream *s, uint32_t attrib)
{
    const DstSource *dst = s->dst;
    if (dst == nullptr)
        return attrib == DSD_ATTRIB_COMPRESSION ? 1.0f : 0.0f;
    if (attrib == DSD_ATTRIB_DST_FRAMES)
        return static_cast<float>(dst->frames);
    if (attrib == DSD_ATTRIB_DST_BROKEN)
        return static_cast<float>(dst->broken);
    const double declared = static_cast<double>(dst->frames) * dst->frameBytes;
    return s->dataSize != 0 ? static_cast<float>(declared / static_cast<double>(s->dataSize)) : 0.0f;
}

uint32_t DsdAttribute(void *inst, uint32_t attrib, float *value, uint32_t set)
{
    DsdStream *s = static_cast<DsdStream *>(inst);
    switch (attrib) {
    case DSD_ATTRIB_GAIN:
        if (s->flags & (DSD_RAW | DSD_DOP)) {
            SetError(ERROR_NOT_AVAILABLE);
            return 0;
        }
        if (!set) {
            *value = s->gainDb;
        } else if (!(*value >= GAIN_MIN_DB && *value <= GAIN_MAX_DB)) {
            /* NaN fails both comparisons; a refused value touches nothing. */
            SetError(ERROR_PARAM);
            return 0;
        } else if (*value != s->gainDb) {
            s->gainDb = *value;
            if (s->hq != nullptr)
                HqBuildTables(s);
            else
                BuildFilterTables(s);
        }
        SetError(ERROR_OK);
        return 1;
    case DSD_ATTRIB_RATE:
    case DSD_ATTRIB_SPEAKERS:
        if (set) {
            SetError(ERROR_NOT_AVAILABLE);
            return 0;
        }
        *value = static_cast<float>(attrib == DSD_ATTRIB_RATE ? s->dsdRate : s->speakers);
        SetError(ERROR_OK);
        return 1;
    case DSD_ATTRIB_DST_FRAMES:
    case DSD_ATTRIB_DST_BROKEN:
    case DSD_ATTRIB_COMPRESSION:
        if (set) {
            SetError(ERROR_NOT_AVAILABLE);
            return 0;
        }
        *value = CompressionValue(s, attrib);
        SetError(ERROR_OK);
        return 1;
    default:
        SetError(ERROR_TYPE);
        return 0;
    }
}
