#include "processor/ShapeTableExchange.h"

#include <algorithm>
#include <cmath>

namespace dowsen
{
ShapeTableExchange::ShapeTableExchange()
{
    for (auto& slot : slots)
        slot.fill (1.0f);
    publish (slots[0].data());
}

void ShapeTableExchange::publish (const float* table) noexcept
{
    auto& slot = slots[static_cast<size_t> (writeSlot)];
    if (table != nullptr)
        std::copy (table, table + kSize, slot.begin());
    else
        slot.fill (0.0f);
    writeSlot = middle.exchange (writeSlot | kFresh, std::memory_order_acq_rel) & ~kFresh;

    const auto rec = makeRecoveryTable (slot.data());
    recoverySequence.fetch_add (1, std::memory_order_acq_rel);
    for (size_t j = 0; j < rec.size(); ++j)
        recovery[j].store (rec[j], std::memory_order_relaxed);
    recoverySequence.fetch_add (1, std::memory_order_release);
}

const ShapeTableExchange::Table& ShapeTableExchange::acquire() noexcept
{
    if ((middle.load (std::memory_order_relaxed) & kFresh) != 0)
        readSlot = middle.exchange (readSlot, std::memory_order_acq_rel) & ~kFresh;
    return slots[static_cast<size_t> (readSlot)];
}

bool ShapeTableExchange::readRecovery (RecoveryTable& out) const noexcept
{
    const unsigned before = recoverySequence.load (std::memory_order_acquire);
    if (before == 0 || (before & 1u) != 0)
        return false;
    RecoveryTable copy;
    for (size_t j = 0; j < copy.size(); ++j)
        copy[j] = recovery[j].load (std::memory_order_relaxed);
    std::atomic_thread_fence (std::memory_order_acquire);
    if (recoverySequence.load (std::memory_order_relaxed) != before)
        return false;
    out = copy;
    return true;
}

ShapeTableExchange::RecoveryTable ShapeTableExchange::makeRecoveryTable (const float* L) noexcept
{
    RecoveryTable table;
    const auto linear = [&table]
    {
        for (int j = 0; j < kRecoverySize; ++j)
            table[static_cast<size_t> (j)] = static_cast<float> (j) / 255.0f;
        return table;
    };

    // The minimum and where it first occurs; a non-finite value gives up on the curve.
    float c = 1.0f;
    int m = 0;
    for (int i = 0; i < kSize; ++i)
    {
        if (! std::isfinite (L[i]))
            return linear();
        if (L[i] < c)
        {
            c = L[i];
            m = i;
        }
    }
    // The largest value after it.
    float f = 0.0f;
    int e = m;
    for (int i = m; i < kSize; ++i)
        if (L[i] > f)
        {
            f = L[i];
            e = i;
        }
    if (! (m < e && f - c > 0.001f))
    {
        linear();
        table.front() = 0.0f;
        table.back() = 1.0f;
        return table;
    }

    // Where the rise begins: the first value 1 % of the way up.
    int s = e - 1;
    for (int p = m; p <= e - 2; ++p)
        if (L[p + 1] > c + 0.01f * (f - c))
        {
            s = p;
            break;
        }
    float previous = 0.0f;
    for (int j = 0; j < kRecoverySize; ++j)
    {
        const float h = static_cast<float> (s) + static_cast<float> (j) * static_cast<float> (e - s) / 255.0f;
        const int q = std::min (static_cast<int> (h), e);
        const float v = L[q] + (h - static_cast<float> (q)) * (L[std::min (q + 1, e)] - L[q]);
        const float w = std::clamp ((v - c) / (f - c), 0.0f, 1.0f);
        previous = j == 0 ? w : std::max (w, previous);
        table[static_cast<size_t> (j)] = previous;
    }
    table.front() = 0.0f;
    table.back() = 1.0f;
    return table;
}
} // namespace dowsen
