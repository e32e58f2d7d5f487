#pragma once

// Counts heap allocations (operator new and delete) and blocking mutex acquisitions
// (pthread_mutex_lock, which std::mutex and juce::CriticalSection use) made on the calling thread
// while a guard is alive. The audio thread must make none of either.
class RealtimeGuard
{
public:
    RealtimeGuard();
    ~RealtimeGuard();

    long allocations() const noexcept;
    long deallocations() const noexcept;
    long blockingLocks() const noexcept;

    RealtimeGuard (const RealtimeGuard&) = delete;
    RealtimeGuard& operator= (const RealtimeGuard&) = delete;

private:
    long startAllocations, startDeallocations, startLocks;
    bool wasCounting;
};
