#include "analysis/ManualAnalysisResult.h"

#include <functional>

bool AnalysisContext::operator== (const AnalysisContext& o) const noexcept
{
    // Exact comparison: any movement of a control is a new context.
    const std::equal_to<float> same;
    return postMode == o.postMode && flip == o.flip && allPassOn == o.allPassOn && same (delayMs, o.delayMs)
           && same (allPassFreqHz, o.allPassFreqHz) && same (allPassQ, o.allPassQ);
}
