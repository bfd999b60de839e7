/*
 * Every host call that can fail, failed in turn: one run creates a stream,
 * plays it, seeks and plays again, and the fake host fails its n-th read,
 * seek, position query or allocation, once or from then on, for every n the
 * run reaches. Whatever fails, creation fails cleanly or the stream plays a
 * prefix of the right bytes, and nothing leaks.
 *
 * The test binary links with --wrap for malloc, calloc and free, so the
 * add-on's allocations come through the wrappers below.
 */
#include "addon_fixture.h"

#include <stdlib.h>

#include <algorithm>
#include <string>

#include "reference_decoder.h"

namespace {

/* The add-on's blocks that are live; a run allocates a handful. */
void *live[64];
size_t liveCount = 0;
bool tracking = false;

} // namespace

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void __real_free(void *p);

static void *Tracked(void *p)
{
    if (p != nullptr && tracking && liveCount < sizeof live / sizeof live[0])
        live[liveCount++] = p;
    return p;
}

void *__wrap_malloc(size_t size)
{
    if (tracking && fake::FaultDue(fake::FAULT_ALLOC))
        return nullptr;
    return Tracked(__real_malloc(size));
}

void *__wrap_calloc(size_t count, size_t size)
{
    if (tracking && fake::FaultDue(fake::FAULT_ALLOC))
        return nullptr;
    return Tracked(__real_calloc(count, size));
}

void __wrap_free(void *p)
{
    for (size_t i = 0; i < liveCount; i++)
        if (live[i] == p) {
            live[i] = live[--liveCount];
            break;
        }
    __real_free(p);
}
}

namespace {

using namespace reference;

const uint32_t FRAME_CHANNELS = 2;
const size_t PER_CHANNEL = 3 * 4096 + 1000; /* DSF: three whole block groups and a padded one */
const uint64_t SEEK_SOUND_BYTE = 4096;      /* per channel: a DSF block group starts there */

struct FaultCase {
    const char *name;
    bool dff;
    uint32_t flags;
    uint64_t seekPosition; /* the output position of SEEK_SOUND_BYTE */
};

class FaultTest : public AddonTest {
protected:
    void TearDown() override
    {
        tracking = false;
        fake::ArmFault(0, false);
        AddonTest::TearDown();
    }

    /* Calls until the end bit or until the stream stops giving bytes. */
    static std::vector<uint8_t> Play(uint32_t h)
    {
        std::vector<uint8_t> out, buf(4000);
        for (int idle = 0; idle < 4;) {
            uint32_t r = fake::Read(h, buf.data(), static_cast<uint32_t>(buf.size()));
            uint32_t n = r & ~STREAM_READ_END;
            out.insert(out.end(), buf.begin(), buf.begin() + n);
            if (r & STREAM_READ_END)
                break;
            idle = n == 0 ? idle + 1 : 0;
        }
        return out;
    }

    static bool IsPrefix(const std::vector<uint8_t> &got, const std::vector<uint8_t> &whole)
    {
        return got.size() <= whole.size() && std::equal(got.begin(), got.end(), whole.begin());
    }

    /* One run with call n failing; returns false when the run made fewer than n calls. A stream
       created must find the sound at `dataOffset`, where a run without faults finds it. */
    bool Run(const FaultCase &c, const std::vector<uint8_t> &bytes, const Sound &sound, uint64_t dataOffset,
             uint32_t kinds, uint64_t n, bool persistent)
    {
        const std::string where = std::string(c.name) + ", kinds " + std::to_string(kinds) +
                                  (persistent ? ", from call " : ", call ") + std::to_string(n);
        fake::Reset();
        AddonLoad();
        fake::ArmFault(n, persistent, kinds);
        tracking = true;
        uint32_t h = Create(bytes, c.flags);
        if (h == 0) {
            /* Only a failed allocation can make it a memory error. */
            const uint32_t fired = fake::FaultsFired();
            EXPECT_NE(fired, 0u) << where;
            EXPECT_TRUE(fake::LastError() == ERROR_FORMAT ||
                        (fake::LastError() == ERROR_MEMORY && (fired & fake::FAULT_ALLOC)))
                << where << ": error " << fake::LastError();
            EXPECT_EQ(fake::LastStream(), 0u) << where;
            EXPECT_FALSE(fake::IsClosed(file)) << where;
        } else {
            EXPECT_EQ(Record(h)->dataOffset, dataOffset) << where;
            const std::vector<uint8_t> whole = RefDecode(sound, c.flags, 2822400, Record(h)->ratio, 6.0f);
            EXPECT_TRUE(IsPrefix(Play(h), whole)) << where << ": first pass\n" << fake::LogText();

            if (Ops(h)->setPosition(Record(h), c.seekPosition, 0) != UINT64_MAX) {
                Sound rest;
                for (const auto &ch : sound.channels)
                    rest.channels.emplace_back(ch.begin() + SEEK_SOUND_BYTE, ch.end());
                const std::vector<uint8_t> after = RefDecode(rest, c.flags, 2822400, Record(h)->ratio, 6.0f);
                EXPECT_TRUE(IsPrefix(Play(h), after)) << where << ": after the seek\n" << fake::LogText();
            } else {
                EXPECT_EQ(fake::LastError(), ERROR_POSITION) << where;
            }
            fake::FreeStream(h);
        }
        tracking = false;
        EXPECT_EQ(liveCount, 0u) << where << ": blocks left allocated";
        EXPECT_EQ(fake::BadHandleCalls(), 0u) << where;
        liveCount = 0;
        return fake::FaultsFired() != 0;
    }
};

TEST_F(FaultTest, EveryFailingHostCallLeavesACleanFailureOrARightPrefix)
{
    const Sound sound = MakeSound(FRAME_CHANNELS, PER_CHANNEL, 7);
    const uint32_t RAW = DSD_RAW | STREAM_DECODE_ONLY;
    /* Raw: one output byte per sound byte; 16-bit PCM at ratio 8: 2 bytes per 8 sound bytes. */
    const FaultCase cases[] = {
        {"raw DSF", false, RAW, SEEK_SOUND_BYTE * FRAME_CHANNELS},
        {"raw DSDIFF", true, RAW, SEEK_SOUND_BYTE * FRAME_CHANNELS},
        {"16-bit PCM DSF", false, 0, SEEK_SOUND_BYTE / 8 * 2 * FRAME_CHANNELS},
        {"16-bit PCM DSDIFF", true, 0, SEEK_SOUND_BYTE / 8 * 2 * FRAME_CHANNELS},
    };
    for (const FaultCase &c : cases) {
        std::vector<uint8_t> bytes;
        if (c.dff) {
            fixture::DffSpec shape;
            shape.sound = fixture::Interleave(sound.channels);
            shape.artist = "artist";
            shape.title = "title";
            shape.comments = {fixture::Comment{2024, 1, 1, 0, 0, 0, 0, "odd"}};
            bytes = fixture::MakeDff(shape);
        } else {
            fixture::DsfSpec shape;
            shape.bitsPerSample = 8;
            shape.channelBytes = sound.channels;
            shape.id3 = fixture::MakeId3(100);
            bytes = fixture::MakeDsf(shape);
        }
        fake::Reset(); /* disarms the last case's fault */
        AddonLoad();
        const uint32_t clean = Create(bytes, c.flags);
        ASSERT_NE(clean, 0u) << c.name;
        const uint64_t dataOffset = Record(clean)->dataOffset;
        fake::FreeStream(clean);
        for (uint32_t kinds :
             {fake::FAULT_READ | fake::FAULT_SEEK | fake::FAULT_ALLOC, uint32_t{fake::FAULT_POSITION}}) {
            uint64_t calls = 0;
            for (bool persistent : {false, true})
                for (uint64_t n = 1; n < 10000 && Run(c, bytes, sound, dataOffset, kinds, n, persistent); n++)
                    calls = std::max(calls, n);
            EXPECT_GE(calls, 3u) << c.name << ", kinds " << kinds; /* the run does reach the host */
        }
        if (HasFailure())
            return;
    }
}

} // namespace
