#pragma once

#include <cstddef>
#include <cstdint>

// The bodies of the fuzz targets, shared by the libFuzzer executables and by the replay test that
// runs the committed seed corpus in the ordinary test suite. Each aborts on a broken invariant.
namespace lumetta::fuzz
{
// Any bytes as a saved state: no crash, no out-of-bounds read, nothing non-finite left behind, and
// what is then saved restores to the same bytes. JUCE must be initialised by the caller.
void savedState (const std::uint8_t* data, std::size_t size);

// Any text as a curve: a curve the parser accepts survives its own text form.
void curveText (const std::uint8_t* data, std::size_t size);
} // namespace lumetta::fuzz
