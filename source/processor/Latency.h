#pragma once

namespace lumetta::latency
{
// 20 ms: room for the manual delay to move the bass up to 10 ms earlier than the kick, and for the
// later stages' look-behind.
int baseSamples (double rate) noexcept;

// The phase follow lookahead: twice the block plus 208 ms of planning, at least 384 ms, in 8 ms
// steps, rounded up to whole samples.
int lookaheadSamples (double rate, int maxBlock) noexcept;

// Prepared block sizes are clamped to this.
inline constexpr int kMaxBlock = 32768;
} // namespace lumetta::latency
