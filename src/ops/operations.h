/* operations.h - what the host calls on an existing DSD stream. */
#ifndef VELMDSD_OPERATIONS_H
#define VELMDSD_OPERATIONS_H

#include <stdint.h>

#include "create/dsd_stream.h"
#include "host/host_api.h"

#define DSD_ATTRIB_GAIN VELM_DSD_ATTRIB_GAIN
#define DSD_ATTRIB_RATE VELM_DSD_ATTRIB_RATE
#define DSD_ATTRIB_SPEAKERS VELM_DSD_ATTRIB_SPEAKERS
#define DSD_ATTRIB_DST_FRAMES VELM_DSD_ATTRIB_DST_FRAMES
#define DSD_ATTRIB_DST_BROKEN VELM_DSD_ATTRIB_DST_BROKEN
#define DSD_ATTRIB_COMPRESSION VELM_DSD_ATTRIB_COMPRESSION

#define TAG_ID3V2 VELM_TAG_ID3V2
#define TAG_DSD_ARTIST VELM_TAG_DSD_ARTIST
#define TAG_DSD_TITLE VELM_TAG_DSD_TITLE
#define TAG_DSD_COMMENT_BASE VELM_TAG_DSD_COMMENT_BASE
#define TAG_JAVA_OBJECT VELM_TAG_JAVA_OBJECT

extern const OperationsTable OperationsTableDsd;

/* Length, file position and seeking. */
uint64_t soundOffsetForPosition(const DsdStream *stream, uint64_t position);
uint64_t DsdGetLength(void *inst, uint32_t mode);
uint64_t DsdGetFilePosition(void *inst, uint32_t mode);
uint32_t DsdCanSetPosition(void *inst, uint64_t position, uint32_t mode);
uint64_t DsdSetPosition(void *inst, uint64_t position, uint32_t mode);

/* Info, attributes and release. */
void DsdRelease(void *inst);
void DsdGetInfo(void *inst, ChannelInfo *info);
uint32_t DsdAttribute(void *inst, uint32_t attrib, float *value, uint32_t set);

/* Tags. */
const void *DsdGetTags(void *inst, uint32_t type);
/* The Java form of a tag found by the plain lookup (type without TAG_JAVA_OBJECT). */
const void *DsdJavaTag(const DsdStream *stream, uint32_t type, const void *tag);

#endif /* VELMDSD_OPERATIONS_H */
