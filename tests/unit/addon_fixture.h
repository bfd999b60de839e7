/* addon_fixture.h - unit tests run the add-on core against the fake host, started fresh per test. */
#ifndef VELMDSD_TESTS_ADDON_FIXTURE_H
#define VELMDSD_TESTS_ADDON_FIXTURE_H

#include <gtest/gtest.h>

#include <stddef.h>

#include <vector>

#include "create/dsd_stream.h"
#include "create/stream_create.h"
#include "dsf_fixture.h"
#include "fake_host.h"
#include "host/host.h"

class AddonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        AddonLoad();
        ASSERT_EQ(startFailed, 0u);
        uint32_t rate = 44100, gain = 6;
        DsdConfigHandler(DSD_CONFIG_RATE, 1, &rate);
        DsdConfigHandler(DSD_CONFIG_GAIN, 1, &gain);
        ConfigStore(&defaultQuality, 0u);
        fake::ClearLog();
    }

    void TearDown() override
    {
        /* Streams a test left open are released as the host would, so leak checks see only real leaks. */
        for (uint32_t h = fake::FIRST_STREAM_HANDLE; h != 0 && h <= fake::LastStream(); h++) {
            fake::Stream *s = fake::GetStream(h);
            if (s != nullptr && !s->released)
                fake::FreeStream(h);
        }
        AddonUnload();
    }

    /* Opens `bytes` as a host source and runs the creation driver on it. */
    uint32_t Create(const std::vector<uint8_t> &bytes, uint32_t flags = 0, uint32_t freq = 0,
                    fake::Source knobs = {})
    {
        knobs.data = bytes;
        file = fake::AddSource(knobs);
        return DsdStreamCreate(file, flags, freq);
    }

    static DsdStream *Record(uint32_t handle)
    {
        fake::Stream *s = fake::GetStream(handle);
        return s != nullptr ? static_cast<DsdStream *>(s->user) : nullptr;
    }

    static const OperationsTable *Ops(uint32_t handle) { return fake::GetStream(handle)->ops; }

    /* The SetError codes given since `mark` (a count of Errors()). */
    static std::vector<int32_t> ErrorsSince(size_t mark)
    {
        const std::vector<int32_t> &all = fake::Errors();
        return std::vector<int32_t>(all.begin() + static_cast<ptrdiff_t>(mark), all.end());
    }

    /* Everything the stream delivers from here to its end, in requests of `chunk` bytes. */
    static std::vector<uint8_t> PullToEnd(uint32_t handle, uint32_t chunk = 6000)
    {
        std::vector<uint8_t> out, buf(chunk);
        for (int calls = 0; calls < 100000; calls++) {
            uint32_t r = fake::Read(handle, buf.data(), chunk);
            out.insert(out.end(), buf.begin(), buf.begin() + (r & ~STREAM_READ_END));
            if (r & STREAM_READ_END)
                return out;
        }
        ADD_FAILURE() << "stream never ends";
        return out;
    }

    /* A stereo DSF file with `perChannel` sound bytes per channel. */
    static std::vector<uint8_t> Dsf(size_t perChannel, uint32_t channels = 2, uint32_t dsdRate = 2822400,
                                    uint32_t blockSize = 4096)
    {
        fixture::DsfSpec shape = fixture::PatternDsf(channels, perChannel, 1);
        shape.dsdRate = dsdRate;
        shape.blockSize = blockSize;
        return fixture::MakeDsf(shape);
    }

    uint32_t file = 0;
};

#endif /* VELMDSD_TESTS_ADDON_FIXTURE_H */
