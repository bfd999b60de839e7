// Writes the files the JVM tests read, and what the C interface delivers for
// each of them in every sample form, so that the Java side can be compared
// byte for byte.
//   write_fixtures DIR
#include <stdio.h>

#include <string>
#include <vector>

#include "dsf_fixture.h"
#include "velmdsd.h"

namespace {

bool writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// Everything the stream delivers through the C interface, or false.
bool decode(const std::string &path, uint32_t flags, std::vector<uint8_t> *out) {
    uint32_t h = VELM_DSD_StreamCreateFile(0, path.c_str(), 0, 0, flags, 0);
    if (h == 0) return false;
    uint8_t chunk[5000];
    uint32_t n;
    while ((n = VELM_ChannelGetData(h, chunk, sizeof chunk)) != UINT32_MAX) out->insert(out->end(), chunk, chunk + n);
    bool ended = VELM_ErrorGetCode() == VELM_ERROR_ENDED;
    VELM_StreamFree(h);
    return ended && !out->empty();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: write_fixtures DIR\n");
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";

    fixture::DsfSpec dsf;
    dsf.channelBytes = {fixture::PatternBytes(3 * 4096 + 1000, 1), fixture::PatternBytes(3 * 4096 + 1000, 2)};
    dsf.id3 = fixture::MakeId3(64);

    fixture::DffSpec dff;
    dff.sound = fixture::PatternBytes(2 * 9000, 3);
    dff.artist = "The Artist";
    dff.title = "Ti\xc3\xa9tle \xf0\x9f\x8e\xb5";  // e acute, and a character outside the BMP
    dff.comments = {{2015, 12, 31, 23, 59, 1, 0, "one"}, {2016, 0x80, 2, 3, 4, 0x8000, 0xFFFF, ""}};

    fixture::DffSpec badText;
    badText.sound = fixture::PatternBytes(2 * 100, 4);
    badText.artist = "a\xff\xc3(b\xed\xa0\x80z\xf0\x9f\x8e";  // invalid bytes, a surrogate, a cut sequence

    struct File {
        const char *name;
        std::vector<uint8_t> bytes;
    } files[] = {
        {"song.dsf", fixture::MakeDsf(dsf)},
        {"song.dff", fixture::MakeDff(dff)},
        {"bad_text.dff", fixture::MakeDff(badText)},
        {"not_dsd.bin", std::vector<uint8_t>(64, 0)},
    };
    for (const File &f : files) {
        if (!writeFile(dir + f.name, f.bytes)) {
            fprintf(stderr, "cannot write %s\n", (dir + f.name).c_str());
            return 1;
        }
    }

    const struct {
        const char *name;
        uint32_t flags;
    } forms[] = {
        {"pcm16", 0},
        {"pcmfloat", VELM_SAMPLE_FLOAT},
        {"dop", VELM_DSD_DOP | VELM_SAMPLE_FLOAT},
        {"raw", VELM_DSD_RAW | VELM_STREAM_DECODE},
    };
    for (const char *name : {"song.dsf", "song.dff"}) {
        for (const auto &form : forms) {
            std::vector<uint8_t> out;
            std::string target = dir + name + "." + form.name;
            if (!decode(dir + name, form.flags, &out) || !writeFile(target, out)) {
                fprintf(stderr, "cannot decode %s into %s\n", name, target.c_str());
                return 1;
            }
        }
    }
    return 0;
}
