/* addon_fixture.h - unit tests run the add-on core against the fake host, started fresh per test. */
#ifndef VELMDSD_TESTS_ADDON_FIXTURE_H
#define VELMDSD_TESTS_ADDON_FIXTURE_H

#include <gtest/gtest.h>

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

    /* A stereo DSF file with `perChannel` sound bytes per channel. */
    static std::vector<uint8_t> Dsf(size_t perChannel, uint32_t channels = 2, uint32_t dsdRate = 2822400,
                                    uint32_t blockSize = 4096)
    {
        fixture::DsfSpec shape;
        shape.channels = channels;
        shape.dsdRate = dsdRate;
        shape.blockSize = blockSize;
        for (uint32_t ch = 0; ch < channels; ch++)
            shape.channelBytes.push_back(fixture::PatternBytes(perChannel, ch + 1));
        return fixture::MakeDsf(shape);
    }

    uint32_t file = 0;
};

#endif /* VELMDSD_TESTS_ADDON_FIXTURE_H */
