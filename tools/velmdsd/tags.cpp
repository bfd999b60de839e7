/*
 * The tags of a stream as the add-on hands them out. The ID3v2 tag (DSF, or a
 * DSDIFF "ID3 " chunk) is parsed by TagLib, which reads versions 2.2 to 2.4,
 * undoes unsynchronisation, decodes every text encoding into UTF-8, splits
 * several values and names numeric genres.
 */
#include "tags.h"

#include <cstdio>
#include <cstring>

#include "velmdsd.h"

#ifdef VELMDSD_HAVE_TAGLIB
#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2tag.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/tfile.h>
#include <taglib/tpropertymap.h>
#endif

namespace cli {
namespace {

constexpr uint32_t kId3HeaderSize = 10;

uint32_t Synchsafe(const uint8_t *p)
{
    return (p[0] & 0x7Fu) << 21 | (p[1] & 0x7Fu) << 14 | (p[2] & 0x7Fu) << 7 | (p[3] & 0x7Fu);
}

#ifdef VELMDSD_HAVE_TAGLIB
/* TagLib reads a tag from a file; this one is the tag's bytes in memory, nothing else. */
class TagBytes : public TagLib::File {
public:
    explicit TagBytes(TagLib::IOStream *stream) : TagLib::File(stream) {}
    TagLib::Tag *tag() const override { return nullptr; }
    TagLib::AudioProperties *audioProperties() const override { return nullptr; }
    bool save() override { return false; }
};

/* TagLib's property names and ours, in the order they are shown. */
const struct {
    const char *property;
    const char *key;
    const char *totalKey; /* "3/12": the part after the slash */
} kFields[] = {
    {"TITLE", "title", nullptr},
    {"ARTIST", "artist", nullptr},
    {"ALBUM", "album", nullptr},
    {"ALBUMARTIST", "albumArtist", nullptr},
    {"TRACKNUMBER", "track", "trackTotal"},
    {"DISCNUMBER", "disc", "discTotal"},
    {"DATE", "date", nullptr},
    {"GENRE", "genre", nullptr},
    {"COMMENT", "comment", nullptr},
};

void ParseId3(const uint8_t *tag, StreamTags *out)
{
    TagLib::ByteVectorStream stream(TagLib::ByteVector(reinterpret_cast<const char *>(tag), out->id3Size));
    TagBytes file(&stream);
    TagLib::ID3v2::Tag id3(&file, 0);
    out->id3Parsed = true;

    const TagLib::PropertyMap properties = id3.properties();
    for (const auto &f : kFields) {
        auto it = properties.find(f.property);
        if (it == properties.end())
            continue;
        for (const TagLib::String &v : it->second) {
            std::string value = v.to8Bit(true);
            size_t slash = f.totalKey != nullptr ? value.find('/') : std::string::npos;
            out->fields.push_back({f.key, value.substr(0, slash), ""});
            if (slash != std::string::npos)
                out->fields.push_back({f.totalKey, value.substr(slash + 1), ""});
        }
    }

    /* TagLib tells its frame classes apart only by their dynamic type: a picture frame it could
       not read (an encrypted one) is an unknown frame under the same id. */
    for (TagLib::ID3v2::Frame *frame : id3.frameList("APIC")) {
        const auto *picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame *>(frame);
        if (picture == nullptr)
            continue;
        out->pictures.push_back({static_cast<uint32_t>(picture->type()), picture->mimeType().to8Bit(true),
                                 picture->description().to8Bit(true), picture->picture().size()});
    }
}
#endif

void ReadId3(const uint8_t *tag, StreamTags *out)
{
    out->id3Size = Synchsafe(tag + 6) + kId3HeaderSize;
    out->id3Version = tag[3];
#ifdef VELMDSD_HAVE_TAGLIB
    ParseId3(tag, out);
#endif
}

/* ID3v2 picture types, as the standard names them. */
const char *const kPictureTypes[] = {
    "other",
    "file icon",
    "other file icon",
    "front cover",
    "back cover",
    "leaflet page",
    "media",
    "lead artist",
    "artist",
    "conductor",
    "band",
    "composer",
    "lyricist",
    "recording location",
    "during recording",
    "during performance",
    "video screen capture",
    "bright coloured fish",
    "illustration",
    "band logo",
    "publisher logo",
};

std::string PictureType(uint32_t type)
{
    if (type < sizeof kPictureTypes / sizeof kPictureTypes[0])
        return kPictureTypes[type];
    return "type " + std::to_string(type);
}

/* Labels of the text lines; a total goes on its number's line. */
const struct {
    const char *key;
    const char *label;
} kLabels[] = {
    {"title", "title"},     {"artist", "artist"}, {"album", "album"}, {"albumArtist", "album artist"},
    {"track", "track"},     {"disc", "disc"},     {"date", "date"},   {"genre", "genre"},
    {"comment", "comment"},
};

const char *Label(const std::string &key)
{
    for (const auto &l : kLabels)
        if (key == l.key)
            return l.label;
    return nullptr;
}

} // namespace

std::string Json(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

StreamTags ReadStreamTags(uint32_t h)
{
    StreamTags tags;
    if (const void *id3 = VELM_ChannelGetTags(h, VELM_TAG_ID3V2))
        ReadId3(static_cast<const uint8_t *>(id3), &tags);
    if (const char *artist = static_cast<const char *>(VELM_ChannelGetTags(h, VELM_TAG_DSD_ARTIST)))
        tags.fields.push_back({"artist", artist, ""});
    if (const char *title = static_cast<const char *>(VELM_ChannelGetTags(h, VELM_TAG_DSD_TITLE)))
        tags.fields.push_back({"title", title, ""});
    for (uint32_t i = 0;; i++) {
        const TAG_DSD_COMMENT *c =
            static_cast<const TAG_DSD_COMMENT *>(VELM_ChannelGetTags(h, VELM_TAG_DSD_COMMENT_BASE + i));
        if (c == nullptr)
            break;
        char when[32];
        snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u", c->timeStampYear, c->timeStampMonth,
                 c->timeStampDay, c->timeStampHour, c->timeStampMinutes);
        tags.fields.push_back({"comment", std::string(c->commentText, c->commentLength), when});
    }
    return tags;
}

void PrintTags(const StreamTags &tags)
{
    if (tags.id3Size != 0)
        printf("ID3v2 tag:     %u bytes, version 2.%u%s\n", tags.id3Size, tags.id3Version,
               tags.id3Parsed ? "" : " (its fields are not shown: velmdsd was built without TagLib)");
    for (size_t i = 0; i < tags.fields.size(); i++) {
        const TagField &t = tags.fields[i];
        const char *label = Label(t.key);
        if (label == nullptr)
            continue; /* a total, shown with its number */
        std::string value = t.value;
        if (i + 1 < tags.fields.size() && tags.fields[i + 1].key == t.key + "Total")
            value += " of " + tags.fields[i + 1].value;
        std::string head = std::string(label) + ":";
        if (t.when.empty())
            printf("%-14s %s\n", head.c_str(), value.c_str());
        else
            printf("%-14s [%s] %s\n", head.c_str(), t.when.c_str(), value.c_str());
    }
    for (const TagPicture &p : tags.pictures) {
        printf("picture:       %s, %s, %llu bytes%s%s\n", PictureType(p.type).c_str(),
               p.mime.empty() ? "no MIME type" : p.mime.c_str(), static_cast<unsigned long long>(p.bytes),
               p.description.empty() ? "" : ", ", p.description.c_str());
    }
}

std::string TagsJson(const StreamTags &tags)
{
    std::string out = "\"id3Size\":" + std::to_string(tags.id3Size) +
                      ",\"id3Version\":" + std::to_string(tags.id3Version) + ",\"tags\":[";
    for (size_t i = 0; i < tags.fields.size(); i++) {
        const TagField &t = tags.fields[i];
        out += std::string(i ? "," : "") + "{\"key\":" + Json(t.key) + ",\"value\":" + Json(t.value);
        if (!t.when.empty())
            out += ",\"time\":" + Json(t.when);
        out += "}";
    }
    out += "],\"pictures\":[";
    for (size_t i = 0; i < tags.pictures.size(); i++) {
        const TagPicture &p = tags.pictures[i];
        out += std::string(i ? "," : "") + "{\"type\":" + std::to_string(p.type) +
               ",\"typeName\":" + Json(PictureType(p.type)) + ",\"mime\":" + Json(p.mime) +
               ",\"description\":" + Json(p.description) + ",\"bytes\":" + std::to_string(p.bytes) + "}";
    }
    return out + "]";
}

} // namespace cli
