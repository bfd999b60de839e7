#include "addon_fixture.h"

#include <string>

#include "fake_jni.h"
#include "ops/operations.h"

namespace {

class JavaTagTest : public AddonTest {
protected:
    void SetUp() override
    {
        AddonTest::SetUp();
        fake::ResetJni();
        fake::UseJniEnv();
        fixture::DffSpec shape;
        shape.sound = fixture::PatternBytes(2000, 1);
        shape.artist = "The Artist";
        shape.title = "Ti\xc3\xa9tle \xf0\x9f\x8e\xb5";
        shape.comments = {{2015, 12, 31, 23, 59, 1, 0, "one"},
                          {0xFFFF, 0x80, 0xFF, 0x7F, 0, 0x8000, 0x7FFF, ""}};
        stream = Create(fixture::MakeDff(shape));
        ASSERT_NE(stream, 0u);
        fake::ClearLog();
    }

    const void *Tags(uint32_t type)
    {
        fake::Stream *s = fake::GetStream(stream);
        return s->ops->getTags(s->user, type);
    }

    uint32_t stream = 0;
};

TEST_F(JavaTagTest, CommentObjectCarriesTheBitPatterns)
{
    const struct {
        uint32_t type;
        std::map<std::string, int32_t> fields; /* commentText: index into JavaStrings */
        std::string text;
    } cases[] = {
        {0x80013100,
         {{"timeStampYear", 2015},
          {"timeStampMonth", 12},
          {"timeStampDay", 31},
          {"timeStampHour", 23},
          {"timeStampMinutes", 59},
          {"cmtType", 1},
          {"cmtRef", 0},
          {"commentText", 0}},
         "one"},
        {0x80013101,
         {{"timeStampYear", -1},
          {"timeStampMonth", -128},
          {"timeStampDay", -1},
          {"timeStampHour", 127},
          {"timeStampMinutes", 0},
          {"cmtType", -32768},
          {"cmtRef", 32767},
          {"commentText", 1}},
         ""},
    };
    size_t errors = fake::SetErrorCount();
    for (const auto &c : cases) {
        const void *object = Tags(c.type);
        ASSERT_NE(object, nullptr) << fake::LogText();
        EXPECT_EQ(object, fake::JniObject());
        EXPECT_EQ(fake::JniFields(), c.fields) << fake::LogText();
        EXPECT_EQ(fake::JavaStrings().back(), c.text);
    }
    EXPECT_EQ(fake::CountCalls("FindClass(com/tremvik/velm/VELMDSD$TAG_DSD_COMMENT)"), 2u);
    EXPECT_EQ(fake::CountCalls("GetMethodID(class,<init>,()V)"), 2u);
    EXPECT_EQ(fake::CountCalls("NewObject(ok)"), 2u);
    EXPECT_EQ(fake::CountCalls("GetFieldID(class,commentText,Ljava/lang/String;)"), 2u);
    EXPECT_EQ(fake::SetErrorCount(), errors);

    /* Artist and title: Java Strings of the text as it is. */
    EXPECT_EQ(fake::JavaStringIndex(Tags(0x80013001)), 2);
    EXPECT_EQ(fake::JavaStrings()[2], "Ti\xc3\xa9tle \xf0\x9f\x8e\xb5");
    EXPECT_EQ(fake::JavaStringIndex(Tags(0x80013000)), 3);
    EXPECT_EQ(fake::JavaStrings()[3], "The Artist");
}

TEST_F(JavaTagTest, FailingJniCallGivesNullAndSetsNothingAfter)
{
    const struct {
        const char *fail;
        int32_t error;        /* 0: none set */
        const char *lastCall; /* the log ends with this call */
    } cases[] = {
        {"FindClass", ERROR_JAVA_CLASS, "FindClass("},
        {"GetMethodID", 0, "GetMethodID("},
        {"NewObject", 0, "NewObject("},
        {"GetFieldID:timeStampYear", 0, "GetFieldID(class,timeStampYear"},
        {"GetFieldID:cmtRef", 0, "GetFieldID(class,cmtRef"},
        {"GetFieldID:commentText", 0, "GetFieldID(class,commentText"},
    };
    for (auto c : cases) {
        fake::ResetJni();
        fake::FailJni(c.fail);
        fake::ClearLog();
        size_t errors = fake::SetErrorCount();
        EXPECT_EQ(Tags(0x80013100), nullptr) << c.fail;
        EXPECT_EQ(fake::SetErrorCount(), errors + (c.error != 0)) << c.fail;
        if (c.error != 0) {
            EXPECT_EQ(fake::LastError(), c.error) << c.fail;
        }
        std::vector<std::string> &log = fake::Log();
        if (!log.empty() && log.back().rfind("SetError", 0) == 0)
            log.pop_back();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().rfind(c.lastCall, 0), 0u) << c.fail << "\n" << fake::LogText();
    }

    /* No environment on this thread: the class cannot be found either. */
    fake::SetJavaEnv(nullptr);
    EXPECT_EQ(Tags(0x80013100), nullptr);
    EXPECT_EQ(fake::LastError(), ERROR_JAVA_CLASS);
}

} // namespace
