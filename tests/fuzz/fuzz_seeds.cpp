/* fuzz_seeds.cpp - the generated seed inputs: small DSF and DSDIFF files under varied controls. */
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

Controls WithForm(uint8_t form)
{
    Controls c;
    c.form = form;
    return c;
}

} // namespace

std::vector<Seed> Seeds()
{
    std::vector<Seed> seeds;

    {
        Controls c = WithForm(FORM_PCM16);
        seeds.push_back({"dsf_stereo_pcm16", c, DsfFile(2, 3000, 4096, 1)});
    }
    {
        Controls c = WithForm(FORM_RAW);
        c.maxRead = 700;
        c.requests = {3, 0, 1000};
        seeds.push_back({"dsf_small_blocks_raw_id3", c, DsfFile(3, 200, 16, 1, 40)});
    }
    {
        Controls c = WithForm(FORM_DOP);
        c.pos1 = 400;
        seeds.push_back({"dsf_mono_msb_dop", c, DsfFile(1, 900, 100, 8)});
    }
    {
        Controls c = WithForm(FORM_PCM_FLOAT);
        c.freqIndex = 4; /* 88200 */
        c.gainCode = 120 - 3;
        fixture::DffSpec shape = DffSpecOf(2, 1000);
        shape.artist = "Artist";
        shape.title = "A title";
        shape.comments = TwoComments();
        seeds.push_back({"dff_stereo_tags_float", c, fixture::MakeDff(shape)});
    }
    {
        Controls c = WithForm(FORM_RAW);
        c.streamed = true;
        c.passed = true;
        fixture::DffSpec shape = DffSpecOf(2, 600);
        shape.artist = "After";
        shape.comments = TwoComments();
        shape.metadataAfterSound = true;
        seeds.push_back({"dff_streamed_meta_after_raw", c, fixture::MakeDff(shape)});
    }
    {
        Controls c = WithForm(FORM_DOP);
        c.maxRead = 333;
        c.readScript = {-5, 0, 3, -30000, 7, -100};
        c.knobsAfterCreation = true;
        c.requests = {0, 7, 4096};
        seeds.push_back({"dff_script_negative_dop", c, fixture::MakeDff(DffSpecOf(3, 700))});
    }
    {
        Controls c = WithForm(FORM_PCM16);
        c.late = true;
        c.arrivedFraction = 100;
        c.maxRead = 50;
        seeds.push_back({"dsf_late_partial_pcm16", c, DsfFile(2, 300, 16, 1)});
    }
    {
        Controls c = WithForm(FORM_PCM16);
        c.container = CONTAINER_DSF;
        c.blockIndex = 4; /* 16 */
        c.id3 = true;
        c.tagBytes = 20;
        c.tail = 3;
        c.pos1 = 64;
        c.seekAt = 2;
        c.pos2 = 100;
        c.requests = {100, 100, 100};
        seeds.push_back({"dsf_header_seek_mid", c, fixture::PatternBytes(520, 5)});
    }
    {
        Controls c = WithForm(FORM_PCM16);
        c.container = CONTAINER_DFF_SOUND;
        c.channels = 5;
        c.rateIndex = 1;
        c.gainCode = 130;
        seeds.push_back({"dff_header_sound_5ch", c, fixture::PatternBytes(777, 6)});
    }
    {
        Controls c = WithForm(FORM_RAW);
        c.container = CONTAINER_DFF_CHUNKS;
        seeds.push_back({"dff_header_chunks_raw", c,
                         Serialized({fixture::Diin("Who", "What"), fixture::Comt(TwoComments()),
                                     fixture::Chunk{"ODD ", {1, 2, 3}, {}, std::nullopt, nullptr},
                                     fixture::Sound(fixture::PatternBytes(300, 8))})});
    }
    {
        Controls c = WithForm(FORM_PCM16);
        c.freqIndex = 3; /* 48000 */
        c.failSeek = true;
        c.knobsAfterCreation = true;
        c.unknownEnd = true;
        seeds.push_back({"dsf_fail_seek_unknown_end", c, DsfFile(2, 100, 16, 1)});
    }
    {
        Controls c = WithForm(FORM_PCM_FLOAT);
        c.gainCode = GAIN_NAN;
        c.limitAvailable = true;
        c.pos2 = 1000;
        c.canSetMode = 0;
        seeds.push_back({"dff_gain_nan_float", c, fixture::MakeDff(DffSpecOf(1, 500))});
    }
    {
        /* Two whole groups of 3 x 100 bytes: the last drops each channel's padding. */
        Controls c = WithForm(FORM_RAW);
        c.container = CONTAINER_DSF;
        c.channels = 3;
        c.blockIndex = 5;
        c.tail = 7;
        c.maxRead = 250;
        seeds.push_back({"dsf_header_exact_groups_raw", c, fixture::PatternBytes(600, 9)});
    }
    {
        Controls c = WithForm(FORM_DOP);
        c.container = CONTAINER_DFF_SOUND;
        c.channels = 2;
        c.requests = {8, 24, 4};
        seeds.push_back({"dff_header_sound_dop", c, fixture::PatternBytes(401, 10)});
    }
    {
        Controls c = WithForm(FORM_PCM_FLOAT);
        c.container = CONTAINER_DSF;
        c.channels = 1;
        c.blockIndex = 1; /* 1 */
        c.byteSamples = true;
        c.freqIndex = 8; /* 352800: ratio 1 */
        seeds.push_back({"dsf_header_block1_float", c, fixture::PatternBytes(90, 11)});
    }
    {
        /* The tag claims more than the total size leaves behind the metadata pointer. */
        Controls c = WithForm(FORM_RAW);
        fixture::DsfSpec shape;
        shape.blockSize = 16;
        shape.channelBytes = {fixture::PatternBytes(40, 1), fixture::PatternBytes(40, 2)};
        shape.id3 = fixture::MakeId3(30);
        shape.totalSizeDelta = -1;
        seeds.push_back({"dsf_id3_beyond_total", c, fixture::MakeDsf(shape)});
    }
    {
        /* The last comment's pad byte lies outside the chunk its size gives. */
        Controls c = WithForm(FORM_RAW);
        c.container = CONTAINER_DFF_CHUNKS;
        fixture::Comment odd;
        odd.text = "end";
        fixture::Chunk comt = fixture::Comt({TwoComments()[1], odd});
        comt.sizeOverride = comt.data.size() - 1;
        seeds.push_back(
            {"dff_comment_pad_outside", c, Serialized({comt, fixture::Sound(fixture::PatternBytes(64, 12))})});
    }
    {
        Controls c = WithForm(FORM_DOP);
        c.requests = {4, 12};
        seeds.push_back({"dsf_lsb_first_dop", c, DsfFile(2, 64, 16, 1)});
    }
    {
        /* The file ends inside a block group; the script throws negative counts at the staging. */
        Controls c = WithForm(FORM_RAW);
        c.readScript = {-3, 0, 5, -40, 10, 10, 10};
        c.knobsAfterCreation = true;
        fixture::DsfSpec shape;
        shape.blockSize = 16;
        shape.channelBytes = {fixture::PatternBytes(100, 3), fixture::PatternBytes(100, 4)};
        shape.truncateTo = fixture::DSF_SOUND_OFFSET + 3 * 32 + 20;
        seeds.push_back({"dsf_cut_mid_group_script", c, fixture::MakeDsf(shape)});
    }
    {
        /* Texts of length 0 and longer than their chunk, comment chunks that keep nothing, and a
           last chunk whose size wraps the walk's offset. */
        Controls c = WithForm(FORM_PCM16);
        c.container = CONTAINER_DFF_CHUNKS;
        fixture::Chunk diin{"DIIN", {}, {fixture::TextChunk("DIAR", ""), fixture::TextChunk("DITI", "long")},
                            std::nullopt, nullptr};
        diin.children[1].data[3] = 200; /* the title claims 200 bytes */
        fixture::Chunk none = fixture::Comt({});
        fixture::Chunk tooLong = fixture::Comt(TwoComments());
        tooLong.data[2 + 13] = 0x7f; /* the first text length runs past the block */
        fixture::Chunk tiny{"COMT", {0}, {}, std::nullopt, nullptr};
        fixture::Chunk wrap{"WRAP", {}, {}, UINT64_MAX - 8, nullptr};
        seeds.push_back({"dff_odd_metadata_wrap", c,
                         Serialized({diin, none, tooLong, tiny, fixture::Sound(fixture::PatternBytes(200, 13)), wrap})});
    }
    {
        /* The source holds too little to reach the position: the seek check refuses it. */
        Controls c = WithForm(FORM_PCM16);
        c.limitAvailable = true;
        c.pos2 = 10;
        c.pos1 = 100;
        c.freqIndex = 8; /* ratio 1 */
        seeds.push_back({"dff_seek_beyond_available", c, fixture::MakeDff(DffSpecOf(2, 400))});
    }
    {
        /* Tag pointers past the end and at something other than a tag; a tag cut short. */
        const struct {
            const char *name;
            uint64_t pointer;
            int64_t totalDelta;
            uint64_t cut;
        } tags[] = {{"dsf_tag_pointer_past_end", 5000, 0, 0},
                    {"dsf_tag_pointer_not_id3", fixture::DSF_DATA_OFFSET, 0, 0},
                    {"dsf_tag_body_cut", 0, 100, 92 + 64 + 20}};
        for (const auto &t : tags) {
            Controls c = WithForm(FORM_RAW);
            fixture::DsfSpec shape;
            shape.blockSize = 16;
            shape.channelBytes = {fixture::PatternBytes(32, 5), fixture::PatternBytes(32, 6)};
            shape.id3 = fixture::MakeId3(60);
            if (t.pointer != 0)
                shape.metadataPointer = t.pointer;
            shape.totalSizeDelta = t.totalDelta;
            shape.truncateTo = t.cut;
            seeds.push_back({t.name, c, fixture::MakeDsf(shape)});
        }
    }
    {
        /* Chunk ids the reader refuses. */
        for (const char *which : {"fmt", "data"}) {
            Controls c = WithForm(FORM_PCM16);
            fixture::DsfSpec shape;
            shape.blockSize = 16;
            shape.channelBytes = {fixture::PatternBytes(32, 7)};
            shape.channels = 1;
            if (which[0] == 'f')
                shape.fmtId = "fmx ";
            else
                shape.dataId = "dat ";
            seeds.push_back({std::string("dsf_wrong_") + which + "_id", c, fixture::MakeDsf(shape), false});
        }
    }
    {
        Controls c = WithForm(FORM_RAW);
        c.failSeek = true;
        seeds.push_back({"dff_walk_seek_fails", c, fixture::MakeDff(DffSpecOf(2, 100)), false});
    }
    {
        Controls c = WithForm(FORM_RAW);
        c.twist = TWIST_TOGGLE_FLOAT;
        seeds.push_back({"dsf_raw_with_float_refused", c, DsfFile(2, 50, 16, 1), false});
    }
    return seeds;
}

} // namespace fuzz
