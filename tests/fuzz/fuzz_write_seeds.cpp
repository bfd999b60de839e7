/* fuzz_write_seeds.cpp - writes the generated seeds into a directory, one file each, for a fuzzer run. */
#include <cstdio>
#include <string>

#include "fuzz_input.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    for (const fuzz::Seed &seed : fuzz::Seeds()) {
        std::string path = std::string(argv[1]) + "/seed_" + seed.name;
        std::vector<uint8_t> bytes = seed.Bytes();
        FILE *f = fopen(path.c_str(), "wb");
        if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
            perror(path.c_str());
            return 1;
        }
        fclose(f);
    }
    return 0;
}
