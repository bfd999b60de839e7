#include "addon_fixture.h"

#include <string>

#include "fake_jni.h"

extern "C" {
int32_t Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateFile(JniEnv *, JavaRef, JavaRef, int64_t,
                                                                  int64_t, int32_t, int32_t);
int32_t Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateURL(JniEnv *, JavaRef, JavaRef, int32_t, int32_t,
                                                                 JavaRef, JavaRef, int32_t);
int32_t Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateFileUser(JniEnv *, JavaRef, int32_t, int32_t,
                                                                      JavaRef, JavaRef, int32_t);
}

namespace {

char procObject, userObject, fileObject;
const char goodUrl[] = "file:///good.dsf";
const char badUrl[] = "file:///bad.dsf";

class JavaEntryTest : public AddonTest {
protected:
    void SetUp() override
    {
        AddonTest::SetUp();
        fake::ResetJni();
        fake::Source good, bad;
        good.data = Dsf(4096);
        bad.data.assign(64, 0);
        fake::RegisterPath(goodUrl, good);
        fake::RegisterPath(badUrl, bad);
        fake::RegisterJavaFile(&fileObject, good);
    }

    static size_t JavaCallCount(const char *name)
    {
        size_t n = 0;
        for (const fake::JavaCall &c : fake::JavaCalls())
            n += c.name == name;
        return n;
    }

    /* The binding ended exactly one way: attached to `handle`, or freed. */
    static void ExpectSettled(uint32_t handle, void *binding, const std::string &name)
    {
        EXPECT_EQ(JavaCallCount("AttachJavaBinding"), handle != 0 ? 1u : 0u) << name;
        EXPECT_EQ(JavaCallCount("FreeJavaBinding"), handle != 0 ? 0u : 1u) << name;
        EXPECT_EQ(fake::JavaCalls().back().object, binding) << name;
        if (handle != 0) {
            EXPECT_EQ(fake::JavaCalls().back().handle, handle) << name;
        }
    }
};

TEST_F(JavaEntryTest, FileMethodPassesTheObjectWithTheMarker)
{
    int32_t h = Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateFile(fake::Jni(), nullptr, &fileObject,
                                                                          0, 0, int32_t(0x80000100), 0);
    ASSERT_NE(h, 0) << fake::LogText();
    const fake::OpenCall &call = fake::OpenCalls().back();
    EXPECT_EQ(call.mem, 0x11111111u);
    EXPECT_EQ(call.file, &fileObject);
    EXPECT_EQ(call.flags, 0x80000100u); /* only the URL method clears bit 31 */
    EXPECT_EQ(fake::GetStream(uint32_t(h))->flags, 0x100u);
    EXPECT_TRUE(fake::JavaCalls().empty());
    EXPECT_EQ(fake::CountCalls("GetStringUTFChars"), 0u);
}

TEST_F(JavaEntryTest, UrlMethodBindsOrDropsTheProcedure)
{
    const struct {
        const char *name;
        const char *url;
        bool withProc;
        bool wrapFails;
        bool charsFail;
        int32_t error; /* -1: the add-on sets none */
    } cases[] = {
        {"null proc", goodUrl, false, false, false, 0},
        {"proc", goodUrl, true, false, false, 0},
        {"proc, not dsd", badUrl, true, false, false, ERROR_FORMAT},
        {"null proc, not dsd", badUrl, false, false, false, ERROR_FORMAT},
        {"wrap fails", goodUrl, true, true, false, -1},
        {"no utf chars", goodUrl, true, false, true, -1},
    };
    for (auto c : cases) {
        TearDown(); /* releases the stream of the case before */
        fake::Reset();
        fake::ResetJni();
        AddonLoad();
        fake::Source src;
        src.data = c.url == badUrl ? std::vector<uint8_t>(64, 0) : Dsf(4096);
        src.data.insert(src.data.begin(), 3, 0xEE); /* the URL's data starts at offset 3 */
        fake::RegisterPath(c.url, src);
        if (c.wrapFails)
            fake::SetJavaBinding(nullptr);
        if (c.charsFail)
            fake::FailJni("GetStringUTFChars");
        size_t errors = fake::SetErrorCount();
        int32_t h = Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateURL(
            fake::Jni(), nullptr, const_cast<char *>(c.url), 3, int32_t(0x80000100),
            c.withProc ? &procObject : nullptr, &userObject, 48000);
        EXPECT_EQ(h != 0, c.error == 0) << c.name << "\n" << fake::LogText();
        EXPECT_EQ(fake::JniCharsHeld(), 0) << c.name;
        if (c.error < 0) {
            EXPECT_EQ(fake::SetErrorCount(), errors) << c.name;
            EXPECT_TRUE(fake::OpenCalls().empty()) << c.name;
            EXPECT_EQ(JavaCallCount("AttachJavaBinding") + JavaCallCount("FreeJavaBinding"), 0u) << c.name;
            continue;
        }
        EXPECT_EQ(fake::LastError(), c.error) << c.name;
        ASSERT_EQ(fake::OpenCalls().size(), 1u) << c.name;
        const fake::OpenCall &call = fake::OpenCalls().back();
        EXPECT_EQ(call.url, c.url) << c.name;
        EXPECT_EQ(call.offset, 3u) << c.name;
        EXPECT_EQ(call.flags, 0x100u) << c.name;
        if (!c.withProc) {
            EXPECT_TRUE(fake::JavaCalls().empty()) << c.name;
            EXPECT_EQ(call.downloadProc, nullptr) << c.name;
            EXPECT_EQ(call.user, nullptr) << c.name;
            continue;
        }
        const fake::JavaCall &wrap = fake::JavaCalls().front();
        EXPECT_EQ(wrap.name, "WrapJavaDownloadProc") << c.name;
        EXPECT_EQ(wrap.env, fake::Jni()) << c.name;
        EXPECT_EQ(wrap.object, &procObject) << c.name;
        EXPECT_EQ(wrap.user, &userObject) << c.name;
        EXPECT_EQ(call.downloadProc, fake::JavaNativeDownloadProc()) << c.name;
        EXPECT_EQ(call.user, fake::DefaultJavaBinding()) << c.name;
        ExpectSettled(uint32_t(h), fake::DefaultJavaBinding(), c.name);
    }
}

TEST_F(JavaEntryTest, UserMethodAlwaysBindsAndSettles)
{
    /* system 1: refused by the export, nothing opened, binding freed. */
    EXPECT_EQ(Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateFileUser(fake::Jni(), nullptr, 1, 0,
                                                                            &procObject, &userObject, 0),
              0);
    EXPECT_EQ(fake::LastError(), ERROR_PARAM);
    EXPECT_TRUE(fake::OpenCalls().empty());
    ExpectSettled(0, fake::DefaultJavaBinding(), "system 1");

    /* The fake's native table reads an empty source: not DSD, binding freed, flags unchanged. */
    fake::Reset();
    AddonLoad();
    EXPECT_EQ(Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateFileUser(
                  fake::Jni(), nullptr, 0, int32_t(0x80000000), &procObject, &userObject, 0),
              0);
    EXPECT_EQ(fake::LastError(), ERROR_FORMAT);
    ASSERT_EQ(fake::OpenCalls().size(), 1u);
    EXPECT_EQ(fake::OpenCalls()[0].flags, 0x80000000u);
    EXPECT_EQ(fake::OpenCalls()[0].procs, fake::JavaNativeFileProcs());
    EXPECT_EQ(fake::OpenCalls()[0].user, fake::DefaultJavaBinding());
    EXPECT_EQ(fake::JavaCalls().front().object, &procObject);
    ExpectSettled(0, fake::DefaultJavaBinding(), "empty source");

    /* No binding: nothing to create, no error from the add-on. */
    fake::Reset();
    AddonLoad();
    fake::SetJavaBinding(nullptr);
    EXPECT_EQ(Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateFileUser(fake::Jni(), nullptr, 0, 0,
                                                                            nullptr, nullptr, 0),
              0);
    EXPECT_EQ(fake::SetErrorCount(), 0u);
    EXPECT_TRUE(fake::OpenCalls().empty());
}

TEST_F(JavaEntryTest, UnstartedAddonTouchesNeitherJniNorJavaTable)
{
    fake::Reset();
    fake::SetVersion(0x02030000);
    AddonLoad();
    ASSERT_NE(startFailed, 0u);
    fake::ClearLog();
    EXPECT_EQ(Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateFile(fake::Jni(), nullptr, &fileObject, 0,
                                                                        0, 0, 0),
              0);
    EXPECT_EQ(fake::LastError(), ERROR_VERSION);
    EXPECT_EQ(Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateURL(
                  fake::Jni(), nullptr, const_cast<char *>(goodUrl), 0, 0, &procObject, nullptr, 0),
              0);
    EXPECT_EQ(fake::LastError(), ERROR_VERSION);
    EXPECT_EQ(Java_com_tremvik_velm_VELMDSD_VELM_1DSD_1StreamCreateFileUser(fake::Jni(), nullptr, 0, 0,
                                                                            &procObject, nullptr, 0),
              0);
    EXPECT_EQ(fake::Errors(), (std::vector<int32_t>{ERROR_VERSION, ERROR_VERSION, ERROR_VERSION}));
    EXPECT_TRUE(fake::JavaCalls().empty());
    EXPECT_TRUE(fake::OpenCalls().empty());
    EXPECT_EQ(fake::CountCalls("GetStringUTFChars"), 0u);
}

} // namespace
