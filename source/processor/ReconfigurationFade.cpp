#include "processor/ReconfigurationFade.h"

#include <algorithm>

void ReconfigurationFade::prepare (double rate) noexcept
{
    state = none;
    blockState = blockStart = none;
    gain = 1.0f;
    step = 1.0f / static_cast<float> (std::max (1.0, 0.003 * rate));
}
