/* tags.h - the tags of a stream as `velmdsd info` shows them. */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

struct TagField {
    std::string key;   /* "title", "artist", "album", "albumArtist", "track", "trackTotal", "disc",
                          "discTotal", "date", "genre", "comment" */
    std::string value; /* UTF-8 from ID3v2; DSDIFF texts as the file holds them */
    std::string when;  /* DSDIFF comments: "YYYY-MM-DD HH:MM" */
};

struct TagPicture {
    uint32_t type = 0; /* the ID3v2 picture type, 3 the front cover */
    std::string mime;
    std::string description;
    uint64_t bytes = 0;
};

struct StreamTags {
    uint32_t id3Size = 0;         /* the whole ID3v2 tag, header included; 0: none */
    uint32_t id3Version = 0;      /* 2, 3 or 4 */
    bool id3Parsed = false;       /* its fields were read (the tool has an ID3v2 parser) */
    std::vector<TagField> fields; /* one entry per value, ID3v2 first, then DSDIFF's own */
    std::vector<TagPicture> pictures;
};

/* Everything the stream hands out: its ID3v2 tag, and a DSDIFF file's artist, title and comments. */
StreamTags ReadStreamTags(uint32_t handle);

/* The lines of `velmdsd info` for the tags. */
void PrintTags(const StreamTags &tags);

/* The JSON members for the tags: "id3Size":N,"id3Version":N,"tags":[...],"pictures":[...] */
std::string TagsJson(const StreamTags &tags);

/* S as a JSON string, quotes included. */
std::string Json(const std::string &s);

} // namespace cli
