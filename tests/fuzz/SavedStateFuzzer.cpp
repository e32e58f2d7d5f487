#include "fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, std::size_t size)
{
    lumetta::fuzz::savedState (data, size);
    return 0;
}
