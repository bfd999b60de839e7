#include <gtest/gtest.h>

#include <string.h>

#include "convert/filter.h"
#include "fake_host.h"
#include "host/host.h"
#include "velmdsd.h"

namespace {

const char kVersionLine[] = "VELMDSD: Incorrect VELM version (2.4 is required)\n";

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
    void TearDown() override
    {
        AddonUnload();
        fake::Reset();
        AddonLoad(); /* leave a started add-on behind for other suites */
    }

    /* Runs start-up and returns what it wrote to stderr. */
    static std::string Load()
    {
        testing::internal::CaptureStderr();
        AddonLoad();
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(StartupTest, OnlyA24HostStarts)
{
    const struct {
        uint32_t version;
        bool host, java;
        bool starts;
    } cases[] = {
        {0x02040000, true, true, true},   {0x02040A0F, true, true, true},   {0x0204FFFF, true, true, true},
        {0x02030000, true, true, false},  {0x02050000, true, true, false},  {0x03040000, true, true, false},
        {0x02040000, true, false, false}, {0x02040000, false, true, false}, {0x02040000, false, false, false},
    };
    for (auto c : cases) {
        fake::Reset();
        fake::SetVersion(c.version);
        fake::SetHostTable(c.host);
        fake::SetJavaTable(c.java);
        memset(bitReverse, 0, sizeof bitReverse);
        std::string err = Load();
        EXPECT_EQ(startFailed == 0, c.starts) << std::hex << c.version << c.host << c.java;
        EXPECT_EQ(err, c.starts ? "" : kVersionLine);
        EXPECT_EQ(fake::ConfigHandler() != nullptr, c.starts);
        EXPECT_EQ(bitReverse[1], c.starts ? 0x80 : 0x00); /* built only by a good start */
        EXPECT_EQ(VELMplugin(0) != nullptr, c.starts);
    }
}

TEST_F(StartupTest, FailedStartRefusesEveryEntry)
{
    fake::SetVersion(0x02030000);
    Load();
    ASSERT_NE(startFailed, 0u);
    static const uint8_t block[64] = {};
    const struct {
        const char *name;
        uint32_t (*call)();
    } entries[] = {
        {"file", [] { return VELM_DSD_StreamCreateFile(1, block, 0, sizeof block, 0, 0); }},
        {"url", [] { return VELM_DSD_StreamCreateURL("x.dsf", 0, 0, nullptr, nullptr, 0); }},
        {"user", [] { return VELM_DSD_StreamCreateFileUser(0, 0, nullptr, nullptr, 0); }},
        {"user system 1", [] { return VELM_DSD_StreamCreateFileUser(1, 0, nullptr, nullptr, 0); }},
    };
    for (auto e : entries) {
        EXPECT_EQ(e.call(), 0u) << e.name;
        EXPECT_EQ(fake::LastError(), ERROR_VERSION) << e.name;
    }
    EXPECT_TRUE(fake::OpenCalls().empty());
    for (uint32_t face : {0u, 1u, 2u})
        EXPECT_EQ(VELMplugin(face), nullptr);

    /* Unloading after a failed start calls nothing in the host. */
    fake::ClearLog();
    AddonUnload();
    EXPECT_TRUE(fake::Log().empty()) << fake::LogText();
}

TEST_F(StartupTest, WithoutAHostTableNothingIsReported)
{
    fake::SetHostTable(false);
    Load();
    fake::ClearLog();
    static const uint8_t block[64] = {};
    EXPECT_EQ(VELM_DSD_StreamCreateFile(1, block, 0, sizeof block, 0, 0), 0u);
    EXPECT_TRUE(fake::Log().empty()) << fake::LogText();
}

TEST_F(StartupTest, UnloadRemovesTheHandler)
{
    Load();
    ASSERT_NE(fake::ConfigHandler(), nullptr);
    AddonUnload();
    EXPECT_EQ(fake::ConfigHandler(), nullptr);
}

TEST_F(StartupTest, ConfigHandlerServesThreeOptions)
{
    Load();
    uint32_t word = 0;
    /* Reads give back what was stored. */
    uint32_t rate = 44100, gain = 6;
    DsdConfigHandler(DSD_CONFIG_RATE, 1, &rate);
    DsdConfigHandler(DSD_CONFIG_GAIN, 1, &gain);
    EXPECT_EQ(DsdConfigHandler(DSD_CONFIG_RATE, 0, &word), 1u);
    EXPECT_EQ(word, 44100u);
    EXPECT_EQ(DsdConfigHandler(DSD_CONFIG_GAIN, 0, &word), 1u);
    EXPECT_EQ(word, 6u);

    /* Any value is stored, unchecked. */
    for (uint32_t v : {96000u, 0u, 0xFFFFFFFFu}) {
        word = v;
        EXPECT_EQ(DsdConfigHandler(DSD_CONFIG_RATE, 1, &word), 1u);
        word = 1;
        DsdConfigHandler(DSD_CONFIG_RATE, 0, &word);
        EXPECT_EQ(word, v);
    }
    word = static_cast<uint32_t>(-3);
    DsdConfigHandler(DSD_CONFIG_GAIN, 1, &word);
    EXPECT_EQ(ConfigLoad(&defaultGain), -3);

    /* Bit 1 of the flags declines without touching the setting or the word. */
    word = 1234;
    EXPECT_EQ(DsdConfigHandler(DSD_CONFIG_RATE, 0x3, &word), 0u);
    EXPECT_EQ(DsdConfigHandler(DSD_CONFIG_RATE, 0x2, &word), 0u);
    EXPECT_EQ(word, 1234u);
    EXPECT_EQ(ConfigLoad(&defaultRate), 0xFFFFFFFFu);
    EXPECT_EQ(DsdConfigHandler(0x10802, 0, &word), 0u);
    EXPECT_EQ(DsdConfigHandler(0x10802, 1, &word), 0u);
    EXPECT_EQ(word, 1234u);

    /* The converter choice: 0 until set, then what was stored. */
    EXPECT_EQ(DsdConfigHandler(DSD_CONFIG_QUALITY, 0, &word), 1u);
    EXPECT_EQ(word, 0u);
    word = 1;
    EXPECT_EQ(DsdConfigHandler(DSD_CONFIG_QUALITY, 1, &word), 1u);
    EXPECT_EQ(ConfigLoad(&defaultQuality), 1u);
    ConfigStore(&defaultQuality, 0u);
}

TEST_F(StartupTest, PluginEntryDescribesTheFormat)
{
    Load();
    const PluginInfo *info = static_cast<const PluginInfo *>(VELMplugin(0));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->version, 0x02040001u);
    ASSERT_EQ(info->formatCount, 1u);
    EXPECT_EQ(info->formats[0].ctype, 0x11700u);
    EXPECT_STREQ(info->formats[0].name, "Direct Stream Digital");
    EXPECT_STREQ(info->formats[0].exts, "*.dff;*.dsf");
    EXPECT_NE(VELMplugin(1), nullptr);
    EXPECT_EQ(VELMplugin(2), nullptr);
    EXPECT_EQ(VELMplugin(0xFFFFFFFF), nullptr);
}

} // namespace
