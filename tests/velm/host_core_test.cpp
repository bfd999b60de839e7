// Version, add-on tables, error codes, configuration and plug-in loading of
// the stand-in host.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <thread>

#include "velm_test_util.h"

namespace {

TEST(HostCore, VersionFollowsTheEnvironment)
{
    struct Case {
        const char *env; // null: unset
        uint32_t version;
    };
    const Case cases[] = {
        {nullptr, 0x02040000},      {"0x02030000", 0x02030000}, {"02050001", 0x02050001},
        {"0x02040A0F", 0x02040A0F}, {"not hex", 0x02040000},    {"", 0x02040000},
    };
    for (const Case &c : cases) {
        if (c.env != nullptr)
            setenv("VELM_HOST_VERSION", c.env, 1);
        else
            unsetenv("VELM_HOST_VERSION");
        EXPECT_EQ(VELM_GetVersion(), c.version) << (c.env != nullptr ? c.env : "(unset)");
    }
    unsetenv("VELM_HOST_VERSION");
}

TEST(HostCore, AddonTables)
{
    const auto *functions = static_cast<const HostFunctions *>(VELM_GetConfigPtr(VELM_CONFIG_ADDON));
    ASSERT_NE(functions, nullptr);
    // Every slot the add-on relies on is filled.
    const HostFunctions &f = *functions;
    const void *slots[] = {
        reinterpret_cast<const void *>(f.SetError),
        reinterpret_cast<const void *>(f.RegisterConfigHandler),
        reinterpret_cast<const void *>(f.CreateStream),
        reinterpret_cast<const void *>(f.GetStreamPosition),
        reinterpret_cast<const void *>(f.TranslateStreamPosition),
        reinterpret_cast<const void *>(f.FileOpen),
        reinterpret_cast<const void *>(f.FileOpenURL),
        reinterpret_cast<const void *>(f.FileOpenUser),
        reinterpret_cast<const void *>(f.FileClose),
        reinterpret_cast<const void *>(f.FileSetStream),
        reinterpret_cast<const void *>(f.FileGetFlags),
        reinterpret_cast<const void *>(f.FileRead),
        reinterpret_cast<const void *>(f.FileSeek),
        reinterpret_cast<const void *>(f.FileGetPosition),
        reinterpret_cast<const void *>(f.FileIsEnd),
        reinterpret_cast<const void *>(f.FileSetBitrate),
    };
    for (size_t i = 0; i < sizeof slots / sizeof slots[0]; ++i)
        EXPECT_NE(slots[i], nullptr) << "slot " << i;
    unsetenv("VELM_HOST_NO_JAVA");
    const auto *java = static_cast<const HostJavaFunctions *>(VELM_GetConfigPtr(VELM_CONFIG_JAVA));
    ASSERT_NE(java, nullptr);
    EXPECT_EQ(java->GetJavaEnv(), nullptr); // no Java VM in this host
    EXPECT_EQ(java->NewJavaString(nullptr, "x"), nullptr);
    VELM_DOWNLOADPROC *proc = reinterpret_cast<VELM_DOWNLOADPROC *>(1);
    EXPECT_EQ(java->WrapJavaDownloadProc(nullptr, nullptr, nullptr, &proc), nullptr);
    EXPECT_EQ(proc, nullptr);

    setenv("VELM_HOST_NO_JAVA", "1", 1);
    EXPECT_EQ(VELM_GetConfigPtr(VELM_CONFIG_JAVA), nullptr);
    EXPECT_NE(VELM_GetConfigPtr(VELM_CONFIG_ADDON), nullptr);
    unsetenv("VELM_HOST_NO_JAVA");
    EXPECT_EQ(VELM_GetConfigPtr(0x8001), nullptr);
}

TEST(HostCore, ErrorCodeIsPerThread)
{
    Host().SetError(VELM_ERROR_FILEFORM);
    int32_t seen = -2;
    std::thread other([&] {
        seen = VELM_ErrorGetCode();
        Host().SetError(VELM_ERROR_MEM);
    });
    other.join();
    EXPECT_EQ(seen, VELM_OK);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_FILEFORM);
}

// Two handlers: one serves option 0x10800, the other 0x10801, both decline
// requests with flags bit 1.
uint32_t rateValue = 44100;
int32_t gainValue = 6;
uint32_t Serve(uint32_t *setting, uint32_t flags, void *value)
{
    if ((flags & 2) != 0)
        return 0;
    if ((flags & 1) != 0)
        *setting = *static_cast<uint32_t *>(value);
    else
        *static_cast<uint32_t *>(value) = *setting;
    return 1;
}
uint32_t RateHandler(uint32_t option, uint32_t flags, void *value)
{
    return option == 0x10800 ? Serve(&rateValue, flags, value) : 0;
}
uint32_t GainHandler(uint32_t option, uint32_t flags, void *value)
{
    return option == 0x10801 ? Serve(reinterpret_cast<uint32_t *>(&gainValue), flags, value) : 0;
}

TEST(HostCore, ConfigHandlers)
{
    const HostFunctions &h = Host();
    EXPECT_EQ(VELM_GetConfig(0x10800), UINT32_MAX);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_ILLTYPE);

    h.RegisterConfigHandler(RateHandler, 0);
    h.RegisterConfigHandler(GainHandler, 0);
    h.RegisterConfigHandler(GainHandler, 0); // a second add changes nothing
    EXPECT_EQ(VELM_GetConfig(0x10800), 44100u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_OK);
    EXPECT_EQ(VELM_SetConfig(0x10800, 96000), 1u);
    EXPECT_EQ(rateValue, 96000u);
    EXPECT_EQ(VELM_SetConfig(0x10801, static_cast<uint32_t>(-3)), 1u);
    EXPECT_EQ(static_cast<int32_t>(VELM_GetConfig(0x10801)), -3);
    EXPECT_EQ(VELM_SetConfig(0x10802, 1), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_ILLTYPE);

    h.RegisterConfigHandler(GainHandler, 1);
    EXPECT_EQ(VELM_GetConfig(0x10801), UINT32_MAX);
    EXPECT_EQ(VELM_SetConfig(0x10801, 5), 0u);
    EXPECT_EQ(gainValue, -3);
    EXPECT_EQ(VELM_GetConfig(0x10800), 96000u); // the other handler stays
    h.RegisterConfigHandler(RateHandler, 1);
    EXPECT_EQ(VELM_GetConfig(0x10800), UINT32_MAX);
}

TEST(HostCore, PluginLoadFailures)
{
    EXPECT_EQ(VELM_PluginLoad("/nonexistent/libplugin.so"), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_FILEOPEN);
    EXPECT_EQ(VELM_PluginLoad("libm.so.6"), 0u); // loads, but has no plug-in entry
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_FILEOPEN);
    EXPECT_EQ(VELM_PluginLoad(nullptr), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_ILLPARAM);
}

TEST(HostCore, StreamCreateFileWithoutPlugins)
{
    TempFile temp(32);
    ASSERT_TRUE(temp.ok());
    EXPECT_EQ(VELM_StreamCreateFile(0, temp.path(), 0, 0, 0), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_FILEFORM);
    EXPECT_EQ(VELM_StreamCreateFile(0, "/nonexistent/a.dsf", 0, 0, 0), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_FILEOPEN);
    EXPECT_EQ(VELM_StreamCreateFile(0x11111111, temp.path(), 0, 0, 0), 0u);
    EXPECT_EQ(VELM_ErrorGetCode(), VELM_ERROR_NOTAVAIL);
}

} // namespace
