// Runs the committed fuzz seed corpora through the fuzz targets as part of the ordinary suite.

#include "fuzz/FuzzTargets.h"

#include <juce_core/juce_core.h>

#include <gtest/gtest.h>

namespace
{
using Target = void (*) (const std::uint8_t*, std::size_t);

int replay (const char* corpus, Target target)
{
    const auto dir = juce::File (LUMETTA_FUZZ_CORPUS_DIR).getChildFile (corpus);
    int count = 0;
    for (const auto& entry : juce::RangedDirectoryIterator (dir, false, "*", juce::File::findFiles))
    {
        juce::MemoryBlock bytes;
        EXPECT_TRUE (entry.getFile().loadFileAsData (bytes)) << entry.getFile().getFullPathName();
        SCOPED_TRACE (entry.getFile().getFileName().toStdString());
        target (static_cast<const std::uint8_t*> (bytes.getData()), bytes.getSize());
        ++count;
    }
    return count;
}
} // namespace

TEST (FuzzReplay, SavedStateSeedsKeepEveryInvariant)
{
    EXPECT_GE (replay ("saved-state", lumetta::fuzz::savedState), 10);
}

TEST (FuzzReplay, CurveTextSeedsKeepEveryInvariant)
{
    EXPECT_GE (replay ("curve-text", lumetta::fuzz::curveText), 10);
}
