#include "analysis/DelaySearch.h"

#include "analysis/CorrelationKernels.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace lumetta::phasesearch
{
namespace
{
float delayScore (const CorrelationSums& s, bool invert) noexcept
{
    const auto r = s.correlation (invert);
    return r ? static_cast<float> (std::clamp (*r, -1.0, 1.0)) : 0.0f;
}
} // namespace

DelayResult searchDelay (const float* first, const float* second, int count, bool invertSecond, int maxLag,
                         int coarseStep, int fineStep)
{
    return searchDelay (first, second, count, invertSecond, maxLag, coarseStep, fineStep, searchKernels());
}

DelayResult searchDelay (const float* first, const float* second, int count, bool invertSecond, int maxLag,
                         int coarseStep, int fineStep, const SearchKernels& kernels)
{
    const std::int64_t coarse = std::max (coarseStep, 1), fine = std::max (fineStep, 1), reach = maxLag;

    std::vector<DelayResult> entries;
    auto evaluate = [&] (std::int64_t lag)
    {
        const auto l = static_cast<int> (lag);
        entries.push_back ({ l, delayScore (kernels.correlate (first, second, count, l), invertSecond) });
    };
    auto onCoarseGrid = [&] (std::int64_t lag) { return lag >= -reach && lag <= reach && (lag + reach) % coarse == 0; };

    for (auto lag = -reach; lag <= reach; lag += coarse)
        evaluate (lag);
    if (! onCoarseGrid (0))
        evaluate (0);

    // Later entries replace the winner only with a strictly higher score.
    auto bestFrom = [&] (DelayResult best, std::size_t from)
    {
        for (auto e = entries.begin() + static_cast<std::ptrdiff_t> (from); e != entries.end(); ++e)
            if (e->score > best.score)
                best = *e;
        return best;
    };
    const auto coarseWinner = bestFrom (entries.front(), 1);

    const auto coarseEntries = entries.size();
    const auto fineEnd = std::min (reach, coarseWinner.lag + coarse);
    for (auto lag = std::max (-reach, coarseWinner.lag - coarse); lag <= fineEnd; lag += fine)
        if (lag != 0 && ! onCoarseGrid (lag))
            evaluate (lag);
    const auto winner = bestFrom (coarseWinner, coarseEntries);

    // Near-equal scores are noise: the smaller offset is the safer proposal.
    auto chosen = winner;
    for (const auto& e : entries)
        if (e.score >= winner.score - 0.002f && std::abs (e.lag) < std::abs (chosen.lag))
            chosen = e;
    return chosen;
}
} // namespace lumetta::phasesearch
