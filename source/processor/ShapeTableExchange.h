#pragma once

#include <array>
#include <atomic>

namespace dowsen
{
// Hands the sampled duck curve (1024 gains at i/1023) and its recovery table (the curve's rise
// from its minimum, normalised, 256 entries) from the message thread to the audio thread without
// a lock on either side.
//
// The gain table is triple-buffered: the writer fills a slot the reader cannot be holding and
// swaps it into the middle; the reader swaps the middle in when it is newer. However often the
// curve changes during one audio block, the reader never sees a slot that is being written.
// The recovery table is a sequence-guarded copy: odd while being written.
class ShapeTableExchange
{
public:
    static constexpr int kSize = 1024;
    static constexpr int kRecoverySize = 256;
    using Table = std::array<float, kSize>;
    using RecoveryTable = std::array<float, kRecoverySize>;

    ShapeTableExchange();

    // Writer (message thread or the host's state thread). A null table publishes zeros. Only one
    // thread may write at a time; the processor serialises writers with its curve lock.
    void publish (const float* table) noexcept;

    // Reader (audio thread): takes the newest published table, if any, and returns the one to use.
    const Table& acquire() noexcept;

    // Reader: copies the recovery table when a consistent version is there; false keeps the copy
    // the caller already has.
    bool readRecovery (RecoveryTable& out) const noexcept;

    // Builds the recovery table from a gain table: used by publish, public for tests.
    static RecoveryTable makeRecoveryTable (const float* table) noexcept;

private:
    static constexpr int kFresh = 4; // flag bit beside the slot index in `middle`

    std::array<Table, 3> slots {};
    int writeSlot = 1;             // writer's own
    std::atomic<int> middle { 2 }; // exchanged between the two sides
    int readSlot = 0;              // reader's own

    std::array<std::atomic<float>, kRecoverySize> recovery {};
    std::atomic<unsigned> recoverySequence { 0 };
};
} // namespace dowsen
