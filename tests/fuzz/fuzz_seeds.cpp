/* fuzz_seeds.cpp - the generated seed inputs: small DSF and DSDIFF files (plain and DST) under varied
   controls. */
#include "dsdsignal/dst.h"
#include "dsdsignal/music.h"
#include "dsf_fixture.h"
#include "fuzz_input.h"

namespace fuzz {

namespace {

std::vector<uint8_t> DsfFile(uint32_t channels, size_t perChannel, uint32_t blockSize, uint32_t bits,
                             size_t id3Body = 0)
{
    fixture::DsfSpec shape = fixture::PatternDsf(channels, perChannel, 7);
    shape.blockSize = blockSize;
    shape.bitsPerSample = bits;
    if (id3Body != 0)
        shape.id3 = fixture::MakeId3(id3Body);
    return fixture::MakeDsf(shape);
}

fixture::DffSpec DffSpecOf(uint16_t channels, size_t frames)
{
    fixture::DffSpec shape;
    shape.channels = channels;
    shape.sound = fixture::PatternBytes(frames * channels, 99);
    return shape;
}

std::vector<fixture::Comment> TwoComments()
{
    fixture::Comment a;
    a.text = "odd";
    fixture::Comment b;
    b.year = 1999;
    b.type = 1;
    b.text = "second";
    return {a, b};
}

/* The chunks one after another, as the file part of a DSDIFF header seed. */
std::vector<uint8_t> Serialized(const std::vector<fixture::Chunk> &chunks)
{
    std::vector<uint8_t> out;
    for (const fixture::Chunk &chunk : chunks) {
        std::vector<uint8_t> bytes = fixture::SerializeChunk(chunk);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

/* The comment chunk's last pad byte lies outside the size it gives. */
fixture::Chunk ComtPadOutside()
{
    fixture::Comment odd;
    odd.text = "end";
    fixture::Chunk comt = fixture::Comt({TwoComments()[1], odd});
    comt.sizeOverride = comt.data.size() - 1;
    return comt;
}

/* Texts of length 0 and longer than their chunk, comment chunks that keep nothing, and a
   last chunk whose size wraps the walk's offset. */
std::vector<uint8_t> OddMetadataAndWrap()
{
    fixture::Chunk diin{"DIIN",
                        {},
                        {fixture::TextChunk("DIAR", ""), fixture::TextChunk("DITI", "long")},
                        std::nullopt,
                        nullptr};
    diin.children[1].data[3] = 200; /* the title claims 200 bytes */
    fixture::Chunk tooLong = fixture::Comt(TwoComments());
    tooLong.data[2 + 13] = 0x7f; /* the first text length runs past the block */
    fixture::Chunk tiny{"COMT", {0}, {}, std::nullopt, nullptr};
    fixture::Chunk wrap{"WRAP", {}, {}, UINT64_MAX - 8, nullptr};
    return Serialized(
        {diin, fixture::Comt({}), tooLong, tiny, fixture::Sound(fixture::PatternBytes(200, 13)), wrap});
}

fixture::DffSpec WithTags(fixture::DffSpec shape, const char *artist, const char *title, bool after)
{
    shape.artist = artist;
    shape.title = title;
    shape.comments = TwoComments();
    shape.metadataAfterSound = after;
    return shape;
}

/* A two-channel DSF of 16-byte blocks with a tag, whose header and length the knobs change. */
std::vector<uint8_t> SmallDsf(uint64_t pointer, int64_t totalDelta, uint64_t cut, size_t id3Body = 60)
{
    fixture::DsfSpec shape = fixture::PatternDsf(2, 32, 5);
    shape.blockSize = 16;
    shape.id3 = fixture::MakeId3(id3Body);
    if (pointer != 0)
        shape.metadataPointer = pointer;
    shape.totalSizeDelta = totalDelta;
    shape.truncateTo = cut;
    return fixture::MakeDsf(shape);
}

/* "ID3 " chunks: a whole tag before the sound, one after it whose chunk claims 1 TiB, and one
   whose header claims more than its chunk holds. */
std::vector<uint8_t> Id3Chunks()
{
    std::vector<uint8_t> tooLong = fixture::MakeId3(40);
    tooLong[9] = 0x7f;
    return Serialized({fixture::Chunk{"ID3 ", tooLong, {}, std::nullopt, nullptr},
                       fixture::Chunk{"ID3 ", fixture::MakeId3(31), {}, std::nullopt, nullptr},
                       fixture::Sound(fixture::PatternBytes(200, 14)),
                       fixture::Chunk{"ID3 ", fixture::MakeId3(20), {}, UINT64_C(1) << 40, nullptr}});
}

constexpr uint32_t kDsd64 = 2822400;

/* DST files of music: the frames the encoder makes with `options`, in a file with an index and
   tags after the sound. */
std::vector<uint8_t> DstMusic(uint32_t rate, uint32_t channels, double frames,
                              const dsdsignal::DstEncodeOptions &options = {}, bool index = true)
{
    dsdsignal::DffDstOptions file;
    file.index = index;
    file.tags.artist = "DST artist";
    file.tags.title = "frames";
    file.tags.tagsAfterSound = true;
    dsdsignal::DstEncodeOptions shortFilters = options;
    shortFilters.filterTaps = options.filterTaps == 128 ? 128 : 16; /* quicker to design */
    return dsdsignal::MakeDffDst(rate, dsdsignal::MakeMusic(rate, channels, frames / 75.0), shortFilters,
                                 file);
}

/* A DST file from the frames as given, each followed by a "DSTC" chunk, the FRTE fields as given. */
std::vector<uint8_t> DstFromFrames(uint16_t channels, const std::vector<std::vector<uint8_t>> &frames,
                                   uint32_t declared, uint16_t frameRate = 75)
{
    std::vector<dsdsignal::DffChunk> sound = {dsdsignal::DffFrte(declared, frameRate)};
    for (const std::vector<uint8_t> &f : frames) {
        sound.push_back({"DSTF", f, {}, std::nullopt, nullptr});
        sound.push_back({"DSTC", {0, 0, 0, 0}, {}, std::nullopt, nullptr});
    }
    return dsdsignal::WriteDff(dsdsignal::DffDstChunks(kDsd64, channels, std::move(sound)));
}

/* Frames coded and stored, broken in each way the decoder names, and (mono) one larger than any
   frame: 6 in all (5 in stereo). */
std::vector<std::vector<uint8_t>> MixedFrames(uint16_t channels)
{
    const dsdsignal::ChannelBytes music = dsdsignal::MakeMusic(kDsd64, channels, 2.5 / 75.0);
    dsdsignal::DstEncodeOptions options;
    options.filterTaps = 16;
    std::vector<std::vector<uint8_t>> frames = dsdsignal::EncodeDst(kDsd64, music, options);
    options.uncoded = true;
    frames.push_back(dsdsignal::EncodeDst(kDsd64, music, options)[0]);
    frames[1].resize(5);                  /* coded, cut short */
    frames[2] = {0x05};                   /* stored, bad header bits */
    frames.push_back({0x00, 0x69, 0x69}); /* stored, too short */
    if (channels == 1)
        frames.push_back(std::vector<uint8_t>(2 * 4704u + 40, 0));
    return frames;
}

std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, size_t less)
{
    bytes.resize(bytes.size() - less);
    return bytes;
}

std::vector<Seed> MakeSeeds()
{
    using C = Controls;
    fixture::DsfSpec cutMidGroup = fixture::PatternDsf(2, 100, 3);
    cutMidGroup.blockSize = 16;
    cutMidGroup.truncateTo = fixture::DSF_SOUND_OFFSET + 3 * 32 + 20;
    fixture::DsfSpec wrongFmt = fixture::PatternDsf(1, 32, 7), wrongData = wrongFmt;
    wrongFmt.blockSize = wrongData.blockSize = 16;
    wrongFmt.fmtId = "fmx ";
    wrongData.dataId = "dat ";
    fixture::DsfSpec beyondTotal = fixture::PatternDsf(2, 40, 1);
    beyondTotal.blockSize = 16;
    beyondTotal.id3 = fixture::MakeId3(30);
    beyondTotal.totalSizeDelta = -1; /* the tag claims more than the total size leaves */
    const std::vector<std::vector<uint8_t>> mixedMono = MixedFrames(1);

    return {
        {"dsf_stereo_pcm16", C{.form = FORM_PCM16}, DsfFile(2, 3000, 4096, 1)},
        {"dsf_small_blocks_raw_id3", C{.form = FORM_RAW, .maxRead = 700, .requests = {3, 0, 1000}},
         DsfFile(3, 200, 16, 1, 40)},
        {"dsf_mono_msb_dop", C{.form = FORM_DOP, .pos1 = 400}, DsfFile(1, 900, 100, 8)},
        {"dff_stereo_tags_float", C{.form = FORM_PCM_FLOAT, .freqIndex = 4 /* 88200 */, .gainCode = 120 - 3},
         fixture::MakeDff(WithTags(DffSpecOf(2, 1000), "Artist", "A title", false))},
        {"dff_streamed_meta_after_raw", C{.form = FORM_RAW, .streamed = true, .passed = true},
         fixture::MakeDff(WithTags(DffSpecOf(2, 600), "After", "", true))},
        {"dff_script_negative_dop",
         C{.form = FORM_DOP,
           .maxRead = 333,
           .knobsAfterCreation = true,
           .readScript = {-5, 0, 3, -30000, 7, -100},
           .requests = {0, 7, 4096}},
         fixture::MakeDff(DffSpecOf(3, 700))},
        {"dsf_late_partial_pcm16", C{.form = FORM_PCM16, .late = true, .maxRead = 50, .arrivedFraction = 100},
         DsfFile(2, 300, 16, 1)},
        {"dsf_header_seek_mid",
         C{.form = FORM_PCM16,
           .container = CONTAINER_DSF,
           .blockIndex = 4 /* 16 */,
           .id3 = true,
           .tail = 3,
           .tagBytes = 20,
           .seekAt = 2,
           .pos1 = 64,
           .pos2 = 100,
           .requests = {100, 100, 100}},
         fixture::PatternBytes(520, 5)},
        {"dff_header_sound_5ch",
         C{.form = FORM_PCM16,
           .container = CONTAINER_DFF_SOUND,
           .channels = 5,
           .rateIndex = 1,
           .gainCode = 130},
         fixture::PatternBytes(777, 6)},
        {"dff_header_chunks_raw", C{.form = FORM_RAW, .container = CONTAINER_DFF_CHUNKS},
         Serialized({fixture::Diin("Who", "What"), fixture::Comt(TwoComments()),
                     fixture::Chunk{"ODD ", {1, 2, 3}, {}, std::nullopt, nullptr},
                     fixture::Sound(fixture::PatternBytes(300, 8))})},
        {"dsf_fail_seek_unknown_end",
         C{.form = FORM_PCM16,
           .failSeek = true,
           .unknownEnd = true,
           .freqIndex = 3 /* 48000 */,
           .knobsAfterCreation = true},
         DsfFile(2, 100, 16, 1)},
        {"dff_gain_nan_float",
         C{.form = FORM_PCM_FLOAT,
           .limitAvailable = true,
           .gainCode = GAIN_NAN,
           .canSetMode = 0,
           .pos2 = 1000},
         fixture::MakeDff(DffSpecOf(1, 500))},
        /* Two whole groups of 3 x 100 bytes: the last drops each channel's padding. */
        {"dsf_header_exact_groups_raw",
         C{.form = FORM_RAW,
           .container = CONTAINER_DSF,
           .maxRead = 250,
           .channels = 3,
           .blockIndex = 5,
           .tail = 7},
         fixture::PatternBytes(600, 9)},
        {"dff_header_sound_dop",
         C{.form = FORM_DOP, .container = CONTAINER_DFF_SOUND, .channels = 2, .requests = {8, 24, 4}},
         fixture::PatternBytes(401, 10)},
        {"dsf_header_block1_float",
         C{.form = FORM_PCM_FLOAT,
           .container = CONTAINER_DSF,
           .freqIndex = 8 /* 352800: ratio 1 */,
           .channels = 1,
           .blockIndex = 1 /* 1 */,
           .byteSamples = true},
         fixture::PatternBytes(90, 11)},
        {"dsf_header_hq_seek_mid",
         C{.form = FORM_PCM16,
           .container = CONTAINER_DSF,
           .blockIndex = 4 /* 16 */,
           .hq = true,
           .seekAt = 2,
           .pos1 = 64,
           .pos2 = 100,
           .requests = {100, 100, 100}},
         fixture::PatternBytes(520, 5)},
        {"dff_header_sound_hq_3ch",
         C{.form = FORM_PCM_FLOAT,
           .container = CONTAINER_DFF_SOUND,
           .freqIndex = 8,
           .channels = 3,
           .hq = true},
         fixture::PatternBytes(900, 12)},
        {"dsf_late_hq",
         C{.form = FORM_PCM_FLOAT, .late = true, .maxRead = 50, .hq = true, .arrivedFraction = 100},
         DsfFile(2, 300, 16, 1)},
        {"dsf_id3_beyond_total", C{.form = FORM_RAW}, fixture::MakeDsf(beyondTotal)},
        {"dff_comment_pad_outside", C{.form = FORM_RAW, .container = CONTAINER_DFF_CHUNKS},
         Serialized({ComtPadOutside(), fixture::Sound(fixture::PatternBytes(64, 12))})},
        {"dsf_lsb_first_dop", C{.form = FORM_DOP, .requests = {4, 12}}, DsfFile(2, 64, 16, 1)},
        /* The file ends inside a block group; the script throws negative counts at the staging. */
        {"dsf_cut_mid_group_script",
         C{.form = FORM_RAW, .knobsAfterCreation = true, .readScript = {-3, 0, 5, -40, 10, 10, 10}},
         fixture::MakeDsf(cutMidGroup)},
        {"dff_odd_metadata_wrap", C{.form = FORM_PCM16, .container = CONTAINER_DFF_CHUNKS},
         OddMetadataAndWrap()},
        /* The source holds too little to reach the position: the seek check refuses it. */
        {"dff_seek_beyond_available",
         C{.form = FORM_PCM16, .limitAvailable = true, .freqIndex = 8 /* ratio 1 */, .pos1 = 100, .pos2 = 10},
         fixture::MakeDff(DffSpecOf(2, 400))},
        /* Tag pointers past the end and at something other than a tag; a tag cut short. */
        {"dsf_tag_pointer_past_end", C{.form = FORM_RAW}, SmallDsf(5000, 0, 0)},
        {"dsf_tag_pointer_not_id3", C{.form = FORM_RAW}, SmallDsf(fixture::DSF_DATA_OFFSET, 0, 0)},
        {"dsf_tag_body_cut", C{.form = FORM_RAW}, SmallDsf(0, 100, 92 + 64 + 20)},
        {"dff_id3_chunks_raw", C{.form = FORM_RAW, .container = CONTAINER_DFF_CHUNKS}, Id3Chunks()},
        {"dff_id3_chunks_streamed", C{.form = FORM_RAW, .container = CONTAINER_DFF_CHUNKS, .streamed = true},
         Id3Chunks()},
        /* DST: coded and stored frames, shared filters and tables, Rice and plain values, the
           half-probability flag; an index; seeks; broken frames; a cut; a source read as it arrives. */
        {"dst_stereo_index_tags_pcm16", C{.form = FORM_PCM16, .seekAt = 1, .pos1 = 3000, .pos2 = 500},
         DstMusic(kDsd64, 2, 2.5)},
        {"dst_6ch_shared_hq_float", C{.form = FORM_PCM_FLOAT, .freqIndex = 4, .hq = true, .pos1 = 777},
         DstMusic(kDsd64, 6, 0.8,
                  [] {
                      dsdsignal::DstEncodeOptions o;
                      o.channelsPerFilter = 6;
                      o.channelsPerTable = 2;
                      return o;
                  }())},
        {"dst_mono_dsd128_rice_half_raw", C{.form = FORM_RAW, .maxRead = 333, .pos1 = 1500},
         DstMusic(
             2 * kDsd64, 1, 1.5,
             [] {
                 dsdsignal::DstEncodeOptions o;
                 o.halfProbability = true;
                 o.filterTaps = 128;
                 o.filterCoding = dsdsignal::DstValueCoding::kRice;
                 o.tableCoding = dsdsignal::DstValueCoding::kPlain;
                 return o;
             }(),
             false)},
        {"dst_streamed_dop", C{.form = FORM_DOP, .streamed = true, .maxRead = 1000, .pos1 = 100},
         DstMusic(kDsd64, 1, 2.5)},
        {"dst_broken_frames_raw", C{.form = FORM_RAW, .pos1 = 2000, .requests = {5, 3000}},
         DstFromFrames(1, mixedMono, 6)},
        {"dst_broken_frames_hq", C{.form = FORM_PCM16, .hq = true, .pos1 = 64},
         DstFromFrames(2, MixedFrames(2), 5)},
        {"dst_cut_mid_frame_dop", C{.form = FORM_DOP}, Cut(DstMusic(kDsd64, 1, 2.5, {}, false), 300)},
        {"dst_declares_more_frames", C{.form = FORM_PCM16, .pos1 = 40000}, DstFromFrames(1, mixedMono, 1000)},
        {"dst_frame_rate_50_refused", C{.form = FORM_RAW}, DstFromFrames(1, {{0x00, 0x69}}, 1, 50), false},
        /* Chunk ids the reader refuses. */
        {"dsf_wrong_fmt_id", C{.form = FORM_PCM16}, fixture::MakeDsf(wrongFmt), false},
        {"dsf_wrong_data_id", C{.form = FORM_PCM16}, fixture::MakeDsf(wrongData), false},
        {"dff_walk_seek_fails", C{.form = FORM_RAW, .failSeek = true}, fixture::MakeDff(DffSpecOf(2, 100)),
         false},
        {"dsf_raw_with_float_refused", C{.form = FORM_RAW, .twist = TWIST_TOGGLE_FLOAT},
         DsfFile(2, 50, 16, 1), false},
    };
}

} // namespace

/* Made once: the DST seeds' music takes a while to make. */
std::vector<Seed> Seeds()
{
    static const std::vector<Seed> seeds = MakeSeeds();
    return seeds;
}

} // namespace fuzz
