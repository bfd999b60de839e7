/* fuzz_main.cpp - the libFuzzer entry: a broken property aborts, as a crash would. */
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (FuzzOneInput(data, size) != 0)
        abort();
    return 0;
}
