/* `velmdsd info` on files whose ID3v2 tags an outside writer (mutagen) made. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dsdsignal/writers.h"

namespace {

std::string RunOut(const std::string &cmd, int *status)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int st = pclose(p);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

std::string Tool()
{
    return std::string(VELMDSD_TEST_LAUNCHER " " VELMDSD_TOOL_PATH);
}

struct Field {
    const char *key;
    std::string value;
};

std::string JsonTags(const std::vector<Field> &fields)
{
    std::string out = "\"tags\":[";
    for (size_t i = 0; i < fields.size(); i++)
        out += std::string(i ? "," : "") + "{\"key\":\"" + fields[i].key + "\",\"value\":\"" +
               fields[i].value + "\"}";
    return out + "]";
}

/* What mutagen_tag.py writes, as each version holds it: 2.3 joins several values with a slash
   (mutagen's default), 2.2 has one artist, no album artist or disc, and a year. */
std::vector<Field> Written(int version)
{
    std::vector<Field> f = {{"title", "Ärger über Öl"}};
    if (version == 4)
        f.insert(f.end(), {{"artist", "First Artist"}, {"artist", "Second Artist"}});
    else if (version == 3)
        f.push_back({"artist", "First Artist/Second Artist"});
    else
        f.push_back({"artist", "First Artist"});
    f.push_back({"album", "An Album"});
    if (version != 2)
        f.push_back({"albumArtist", "The Band"});
    f.insert(f.end(), {{"track", "3"}, {"trackTotal", "12"}});
    if (version != 2)
        f.insert(f.end(), {{"disc", "1"}, {"discTotal", "2"}});
    f.push_back({"date", version == 2 ? "2021" : "2021-03-04"});
    if (version == 4)
        f.insert(f.end(), {{"genre", "Rock"}, {"genre", "Jazz"}});
    else
        f.push_back({"genre", version == 3 ? "17/Jazz" : "Rock"});
    f.push_back({"comment", "Said in passing"});
    return f;
}

TEST(TagsInfo, Id3TagsOfAnOutsideWriterInBothContainers)
{
    int status = -1;
    RunOut(VELM_PYTHON3 " -c 'import mutagen' 2>/dev/null", &status);
    if (status != 0)
        GTEST_SKIP() << "python3-mutagen is not installed";
    char tmpl[] = "/tmp/velmdsd_tags_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;

    const std::vector<uint8_t> sound(4 * 4096, 0x69);
    dsdsignal::DffOptions dffOptions;
    dffOptions.artist = "Diin Artist";
    dffOptions.comments = std::vector<dsdsignal::DffComment>{{2020, 5, 6, 7, 8, 0, 0, "Made here"}};
    const struct {
        const char *name;
        bool dff;
        int version;  /* 2, 3 or 4 */
        int encoding; /* of the text frames */
        bool unsync;
    } cases[] = {
        {"dsf_v24_utf8", false, 4, 3, false},         {"dsf_v24_utf16be_unsync", false, 4, 2, true},
        {"dsf_v23_latin1_unsync", false, 3, 0, true}, {"dsf_v23_utf16", false, 3, 1, false},
        {"dsf_v22_unsync", false, 2, 0, true},        {"dff_v24_utf16", true, 4, 1, false},
        {"dff_v24_latin1_unsync", true, 4, 0, true},  {"dff_v23_utf16_unsync", true, 3, 1, true},
        {"dff_v23_latin1", true, 3, 0, false},        {"dff_v22", true, 2, 0, false},
    };
    for (const auto &c : cases) {
        const std::string path = dir + "/" + c.name + (c.dff ? ".dff" : ".dsf");
        ASSERT_TRUE(
            dsdsignal::WriteFileBytes(path, c.dff ? dsdsignal::MakeDff(2822400, {sound, sound}, dffOptions)
                                                  : dsdsignal::MakeDsf(2822400, {sound, sound})));
        RunOut(std::string(VELM_PYTHON3 " '" VELMDSD_MUTAGEN_TAG "' '") + path + "' " +
                   std::to_string(c.version) + " " + std::to_string(c.encoding) +
                   (c.unsync ? " --unsync" : ""),
               &status);
        ASSERT_EQ(status, 0) << c.name;

        const std::string text = RunOut(Tool() + " info '" + path + "'", &status);
        ASSERT_EQ(status, 0) << c.name;
        const std::string json = RunOut(Tool() + " info --json '" + path + "'", &status);
        ASSERT_EQ(status, 0) << c.name;
        const std::string version = "version 2." + std::to_string(c.version);
        EXPECT_NE(text.find(version), std::string::npos) << c.name << "\n" << text;
        EXPECT_NE(json.find("\"id3Version\":" + std::to_string(c.version)), std::string::npos) << c.name;
        if (c.dff) {
            /* DSDIFF's own texts as well, after the tag's. */
            EXPECT_NE(text.find("artist:        Diin Artist\n"), std::string::npos) << c.name << "\n" << text;
            EXPECT_NE(text.find("comment:       [2020-05-06 07:08] Made here\n"), std::string::npos)
                << c.name;
        }
        if (!VELMDSD_TOOL_TAGLIB) {
            EXPECT_NE(text.find("built without TagLib"), std::string::npos) << c.name << "\n" << text;
            continue;
        }
        std::vector<Field> want = Written(c.version);
        std::string wantTags = JsonTags(want);
        if (c.dff) {
            wantTags.pop_back();
            wantTags +=
                ",{\"key\":\"artist\",\"value\":\"Diin Artist\"},{\"key\":\"comment\",\"value\":\"Made "
                "here\",\"time\":\"2020-05-06 07:08\"}]";
        }
        EXPECT_NE(json.find(wantTags), std::string::npos) << c.name << "\n" << wantTags << "\n" << json;
        /* The picture's bytes once unsynchronisation is undone: 6 + 1024 + 3. */
        const std::string pictures =
            c.version == 2 ? "\"pictures\":[{\"type\":3,\"typeName\":\"front cover\",\"mime\":\"image/png\","
                             "\"description\":\"\",\"bytes\":1033}]"
                           : "\"pictures\":[{\"type\":4,\"typeName\":\"back cover\",\"mime\":\"image/png\","
                             "\"description\":\"\",\"bytes\":100},{\"type\":3,\"typeName\":\"front cover\","
                             "\"mime\":\"image/jpeg\",\"description\":\"Front\",\"bytes\":1033}]";
        EXPECT_NE(json.find(pictures), std::string::npos) << c.name << "\n" << json;
        for (const char *line : {"title:         Ärger über Öl\n", "track:         3 of 12\n",
                                 "comment:       Said in passing\n", "front cover, image/"})
            EXPECT_NE(text.find(line), std::string::npos) << c.name << ": " << line << "\n" << text;
    }
    system(("rm -rf '" + dir + "'").c_str());
}

} // namespace
