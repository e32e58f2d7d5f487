#include "fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, std::size_t size)
{
    lumetta::fuzz::curveText (data, size);
    return 0;
}
