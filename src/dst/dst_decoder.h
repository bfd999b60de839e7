/*
 * dst_decoder.h - the decoder of DST (Direct Stream Transfer), the lossless compression of
 * 1-bit sound that DSDIFF files and SACDs use: one frame of 1/75 s at a time back to DSDIFF
 * sound bytes (one byte per channel in turn, the earliest sample in bit 7).
 *
 * A frame is either stored as it is (uncoded) or coded: per channel a prediction filter over
 * the last bits (up to 128 taps) whose output picks a probability from a table (up to 64
 * entries), and a binary arithmetic decoder that turns those probabilities and the coded bits
 * back into the bits. Filters and tables are shared by channels through two maps. A frame
 * that cannot be decoded exactly (bad syntax, a mode this decoder does not implement, the
 * arithmetic decoder reading past the frame's bytes) is reported broken and its sound is
 * DSD silence (0x69 on every channel).
 *
 * The decoder holds everything a frame needs; decoding allocates nothing, and the work per
 * frame is bounded by the frame's length and the filters' lengths.
 */
#ifndef VELMDSD_DST_DECODER_H
#define VELMDSD_DST_DECODER_H

#include <stddef.h>
#include <stdint.h>

#define DST_MAX_CHANNELS 6
#define DST_MAX_TAPS 128
#define DST_MAX_TABLE 64
/* The highest rate accepted: DSD1024 (a frame of 75264 bytes per channel). */
#define DST_MAX_RATE (44100u * 1024u)
/* The byte DSD silence is made of. */
#define DST_SILENCE 0x69

enum DstFrameResult {
    DST_FRAME_OK = 0,
    DST_FRAME_BAD_SYNTAX,  /* a field out of its range, or the frame ends inside its header */
    DST_FRAME_UNSUPPORTED, /* a segmentation of more than one segment per channel */
    DST_FRAME_OVERREAD,    /* the arithmetic decoder needed bits past the frame's bytes */
    DST_FRAME_TOO_SHORT,   /* an uncoded frame with fewer sound bytes than a frame holds */
};

typedef struct DstDecoder DstDecoder;

/* A decoder for `channels` channels (1 to DST_MAX_CHANNELS) at dsdRate (a multiple of
   44100 x 8 up to DST_MAX_RATE, so that a frame holds whole bytes). NULL when the arguments are
   out of range or the memory cannot be had. */
DstDecoder *DstDecoderCreate(uint32_t channels, uint32_t dsdRate);
/* Whether a decoder can be made for these arguments (memory aside). */
int DstDecoderAccepts(uint32_t channels, uint32_t dsdRate);
void DstDecoderFree(DstDecoder *decoder);

/* 1-bit samples per channel in a frame: 588 x dsdRate / 44100. */
uint32_t DstFrameBits(uint32_t dsdRate);

/* Bytes of sound one frame decodes to, all channels: DstFrameBits / 8 x channels. */
uint32_t DstFrameBytes(const DstDecoder *decoder);

/* Decodes the frame data[0 .. size) (the body of one "DSTF" chunk) into out, which holds
   DstFrameBytes bytes. Returns DST_FRAME_OK, or the reason the frame is broken; out then
   holds DST_SILENCE throughout. Frames are independent of each other. */
enum DstFrameResult DstDecodeFrame(DstDecoder *decoder, const uint8_t *data, size_t size, uint8_t *out);

/* Whether data[0 .. size) is a coded frame (its first bit set) rather than stored whole. */
int DstFrameIsCoded(const uint8_t *data, size_t size);

#endif /* VELMDSD_DST_DECODER_H */
