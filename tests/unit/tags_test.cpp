#include "addon_fixture.h"

#include <string.h>

#include <string>

#include "ops/operations.h"

namespace {

enum class Want { NONE, ID3, ARTIST, TITLE, COMMENT };

struct Lookup {
    uint32_t type;
    Want want;
    uint32_t index = 0; /* COMMENT: the entry expected */
};

class TagTest : public AddonTest {
protected:
    static const void *Tags(uint32_t h, uint32_t type)
    {
        fake::Stream *s = fake::GetStream(h);
        return s->ops->getTags(s->user, type);
    }

    /* Looks every type up, checks what comes back, and that plain lookups report nothing. */
    void Check(uint32_t h, const std::vector<Lookup> &lookups, const char *name)
    {
        const DsdStream *s = Record(h);
        size_t errors = fake::SetErrorCount();
        for (const Lookup &l : lookups) {
            const void *tag = Tags(h, l.type);
            const void *expected = nullptr;
            switch (l.want) {
            case Want::NONE:
                break;
            case Want::ID3:
                expected = s->id3Tag;
                break;
            case Want::ARTIST:
                expected = s->artist;
                break;
            case Want::TITLE:
                expected = s->title;
                break;
            case Want::COMMENT:
                ASSERT_LT(l.index, s->commentCount) << name;
                expected = s->comments[l.index];
                break;
            }
            EXPECT_EQ(l.want == Want::NONE, expected == nullptr) << name << " type 0x" << std::hex << l.type;
            EXPECT_EQ(tag, expected) << name << " type 0x" << std::hex << l.type;
        }
        EXPECT_EQ(fake::SetErrorCount(), errors) << name;
    }
};

std::vector<uint8_t> TaggedDff()
{
    fixture::DffSpec shape;
    shape.sound = fixture::PatternBytes(2000, 1);
    shape.artist = "The Artist";
    shape.title = "A Title";
    shape.comments = {{2015, 12, 31, 23, 59, 1, 0, "one"},
                      {2016, 1, 2, 3, 4, 2, 7, "two!"},
                      {2017, 5, 6, 7, 8, 0xFFFF, 0x8000, "three"}};
    return fixture::MakeDff(shape);
}

std::vector<uint8_t> PlainDff()
{
    fixture::DffSpec shape;
    shape.sound = fixture::PatternBytes(2000, 1);
    return fixture::MakeDff(shape);
}

std::vector<uint8_t> DsfWithTag(const std::vector<uint8_t> &id3)
{
    fixture::DsfSpec shape;
    shape.channelBytes = {fixture::PatternBytes(4096, 1), fixture::PatternBytes(4096, 2)};
    shape.id3 = id3;
    return fixture::MakeDsf(shape);
}

/* Types no stream ever has a tag for. */
const std::vector<Lookup> nothingThere = {
    {0, Want::NONE},
    {2, Want::NONE},
    {0x12FFF, Want::NONE},
    {0x13002, Want::NONE},
    {0x130FF, Want::NONE},
    {0x13100 + 0xFFFF, Want::NONE},
    {0x13100 + 0x10000, Want::NONE},
    {0x7FFFFFFF, Want::NONE},
    {0x00013000 | 0x100000, Want::NONE},
};

TEST_F(TagTest, DsdiffStreamHandsOutItsTexts)
{
    uint32_t h = Create(TaggedDff());
    ASSERT_NE(h, 0u);
    ASSERT_EQ(Record(h)->commentCount, 3u);
    std::vector<Lookup> lookups = {{1, Want::NONE},
                                   {0x13000, Want::ARTIST},
                                   {0x13001, Want::TITLE},
                                   {0x13100, Want::COMMENT, 0},
                                   {0x13101, Want::COMMENT, 1},
                                   {0x13102, Want::COMMENT, 2},
                                   {0x13103, Want::NONE}};
    lookups.insert(lookups.end(), nothingThere.begin(), nothingThere.end());
    Check(h, lookups, "tagged dsdiff");
    EXPECT_STREQ(static_cast<const char *>(Tags(h, 0x13000)), "The Artist");
    EXPECT_STREQ(static_cast<const char *>(Tags(h, 0x13001)), "A Title");

    /* The third record, all of it. */
    const auto *c = static_cast<const DsdComment *>(Tags(h, 0x13102));
    ASSERT_NE(c, nullptr);
    /* Packed fields are copied out: gtest would bind references to misaligned members. */
    const uint16_t year = c->timeStampYear, type = c->cmtType, ref = c->cmtRef;
    const uint8_t month = c->timeStampMonth, day = c->timeStampDay, hour = c->timeStampHour,
                  minutes = c->timeStampMinutes;
    const uint32_t length = c->commentLength;
    EXPECT_EQ(year, 2017);
    EXPECT_EQ(month, 5);
    EXPECT_EQ(day, 6);
    EXPECT_EQ(hour, 7);
    EXPECT_EQ(minutes, 8);
    EXPECT_EQ(type, 0xFFFF);
    EXPECT_EQ(ref, 0x8000);
    ASSERT_EQ(length, 5u);
    EXPECT_EQ(std::string(c->commentText, length), "three");

    /* The same pointers on every call: they point into the record, valid until release. */
    EXPECT_EQ(Tags(h, 0x13101), Tags(h, 0x13101));
}

TEST_F(TagTest, DsdiffStreamWithoutTagsGivesNull)
{
    uint32_t h = Create(PlainDff());
    ASSERT_NE(h, 0u);
    std::vector<Lookup> lookups = {{1, Want::NONE},
                                   {0x13000, Want::NONE},
                                   {0x13001, Want::NONE},
                                   {0x13100, Want::NONE},
                                   {0x13101, Want::NONE}};
    lookups.insert(lookups.end(), nothingThere.begin(), nothingThere.end());
    Check(h, lookups, "plain dsdiff");
}

TEST_F(TagTest, DsfStreamHandsOutItsId3TagOnly)
{
    std::vector<uint8_t> id3 = fixture::MakeId3(200);
    uint32_t h = Create(DsfWithTag(id3));
    ASSERT_NE(h, 0u);
    std::vector<Lookup> lookups = {
        {1, Want::ID3}, {0x13000, Want::NONE}, {0x13001, Want::NONE}, {0x13100, Want::NONE}};
    lookups.insert(lookups.end(), nothingThere.begin(), nothingThere.end());
    Check(h, lookups, "dsf with id3");
    const uint8_t *tag = static_cast<const uint8_t *>(Tags(h, 1));
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(memcmp(tag, id3.data(), id3.size()), 0);

    uint32_t bare = Create(DsfWithTag({}));
    ASSERT_NE(bare, 0u);
    Check(bare, {{1, Want::NONE}, {0x13000, Want::NONE}, {0x13100, Want::NONE}}, "dsf without id3");
}

/* A DSDIFF file whose "ID3 " chunk holds `id3`, and artist and title. */
std::vector<uint8_t> DffWithTag(const std::vector<uint8_t> &id3)
{
    std::vector<fixture::Chunk> chunks = {fixture::Prop(2822400, 2), fixture::Diin("The Artist", "A Title"),
                                          fixture::Sound(fixture::PatternBytes(2000, 1))};
    chunks.push_back(fixture::Chunk{"ID3 ", id3, {}, std::nullopt, nullptr});
    return fixture::MakeDff(chunks);
}

TEST_F(TagTest, DsdiffStreamHandsOutItsId3TagBesideItsTexts)
{
    std::vector<uint8_t> id3 = fixture::MakeId3(300);
    uint32_t h = Create(DffWithTag(id3));
    ASSERT_NE(h, 0u);
    std::vector<Lookup> lookups = {
        {1, Want::ID3}, {0x13000, Want::ARTIST}, {0x13001, Want::TITLE}, {0x13100, Want::NONE}};
    lookups.insert(lookups.end(), nothingThere.begin(), nothingThere.end());
    Check(h, lookups, "dsdiff with id3");
    const uint8_t *tag = static_cast<const uint8_t *>(Tags(h, 1));
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(memcmp(tag, id3.data(), id3.size()), 0);
}

TEST_F(TagTest, JavaFormOfAbsentTagsIsNullWithoutError)
{
    uint32_t dff = Create(PlainDff());
    uint32_t tagged = Create(TaggedDff());
    uint32_t dsf = Create(DsfWithTag({}));
    ASSERT_NE(dff, 0u);
    ASSERT_NE(tagged, 0u);
    ASSERT_NE(dsf, 0u);
    const struct {
        uint32_t h;
        uint32_t type;
    } cases[] = {
        {dff, 0x80013100},    {dff, 0x80013000},    {dff, 0x80013001},    {dff, 0x80000001},
        {tagged, 0x80013103}, {tagged, 0x80013002}, {tagged, 0x800130FF}, {tagged, 0x80000001},
        {tagged, 0x80000000}, {tagged, 0xFFFFFFFF}, {dsf, 0x80000001},    {dsf, 0x80013000},
        {dsf, 0x80013100},
    };
    fake::ClearLog();
    size_t errors = fake::SetErrorCount();
    for (auto c : cases) {
        EXPECT_EQ(Tags(c.h, c.type), nullptr) << std::hex << c.type;
        EXPECT_EQ(fake::SetErrorCount(), errors) << std::hex << c.type;
    }
    EXPECT_TRUE(fake::JavaCalls().empty());
}

TEST_F(TagTest, JavaFormOfAPresentTagReportsWhatItCannotBuild)
{
    uint32_t tagged = Create(TaggedDff());
    uint32_t dsf = Create(DsfWithTag(fixture::MakeId3(50)));
    uint32_t dff = Create(DffWithTag(fixture::MakeId3(50)));
    ASSERT_NE(tagged, 0u);
    ASSERT_NE(dsf, 0u);
    ASSERT_NE(dff, 0u);
    const struct {
        uint32_t h;
        uint32_t type;
        int32_t error;
    } cases[] = {
        {dsf, 0x80000001, ERROR_JAVA_TYPE},
        {dff, 0x80000001, ERROR_JAVA_TYPE},
        {tagged, 0x80013100, ERROR_JAVA_CLASS},
        {tagged, 0x80013102, ERROR_JAVA_CLASS},
    };
    for (auto c : cases) {
        size_t errors = fake::SetErrorCount();
        EXPECT_EQ(Tags(c.h, c.type), nullptr) << std::hex << c.type;
        EXPECT_EQ(fake::SetErrorCount(), errors + 1) << std::hex << c.type;
        EXPECT_EQ(fake::LastError(), c.error) << std::hex << c.type;
    }
    /* The plain form still answers afterwards. */
    EXPECT_NE(Tags(dsf, 1), nullptr);
    EXPECT_NE(Tags(dff, 1), nullptr);
    EXPECT_NE(Tags(tagged, 0x13100), nullptr);
}

} // namespace
