#include "processor/ShapeTableExchange.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <thread>

using dowsen::ShapeTableExchange;

namespace
{
ShapeTableExchange::Table constantTable (float v)
{
    ShapeTableExchange::Table t;
    t.fill (v);
    return t;
}

void expectRisingFromZeroToOne (const ShapeTableExchange::RecoveryTable& r)
{
    EXPECT_EQ (r.front(), 0.0f);
    EXPECT_EQ (r.back(), 1.0f);
    for (size_t j = 1; j < r.size(); ++j)
        ASSERT_GE (r[j], r[j - 1]) << j;
}
} // namespace

TEST (ShapeTableExchange, ReaderGetsTheNewestTableAndZerosForNull)
{
    ShapeTableExchange x;
    EXPECT_EQ (x.acquire()[500], 1.0f);
    auto t = constantTable (0.25f);
    x.publish (t.data());
    t = constantTable (0.75f);
    x.publish (t.data());
    EXPECT_EQ (x.acquire()[0], 0.75f);
    EXPECT_EQ (x.acquire()[1023], 0.75f);
    x.publish (nullptr);
    EXPECT_EQ (x.acquire()[17], 0.0f);
}

TEST (ShapeTableExchange, RecoveryTableFollowsTheRiseFromTheMinimum)
{
    // A curve that holds at 1, dips to 0.2 at a third of the cycle and rises linearly back.
    ShapeTableExchange::Table dip;
    for (int i = 0; i < 1024; ++i)
        dip[static_cast<size_t> (i)] = i < 341 ? 1.0f : 0.2f + 0.8f * static_cast<float> (i - 341) / 682.0f;
    const auto r = ShapeTableExchange::makeRecoveryTable (dip.data());
    expectRisingFromZeroToOne (r);
    EXPECT_NEAR (r[128], 128.0f / 255.0f, 0.01f); // a linear rise maps to a linear table

    const auto flat = ShapeTableExchange::makeRecoveryTable (constantTable (1.0f).data());
    auto broken = dip;
    broken[600] = std::numeric_limits<float>::quiet_NaN();
    const auto fallback = ShapeTableExchange::makeRecoveryTable (broken.data());
    for (size_t j = 0; j < 256; ++j)
    {
        EXPECT_FLOAT_EQ (flat[j], static_cast<float> (j) / 255.0f);
        EXPECT_FLOAT_EQ (fallback[j], static_cast<float> (j) / 255.0f);
    }
}

TEST (ShapeTableExchange, ReaderNeverSeesATableBeingWrittenHoweverFastTheCurveChanges)
{
    // Each published table is one constant; a torn read would mix two of them. Many tables are
    // published within each "block" the reader takes.
    ShapeTableExchange x;
    std::atomic<bool> done { false };
    constexpr int kTables = 20000;
    std::thread writer ([&]
    {
        for (int k = 1; k <= kTables; ++k)
        {
            const auto t = constantTable (static_cast<float> (k));
            x.publish (t.data());
        }
        done = true;
    });

    float newest = 0.0f;
    long reads = 0, torn = 0, backwards = 0, badRecovery = 0;
    ShapeTableExchange::RecoveryTable recovery {};
    while (! done || reads < 10)
    {
        // Read the table several times over, as an audio block reads it sample after sample.
        const auto& table = x.acquire();
        const float first = table[0];
        for (int pass = 0; pass < 4; ++pass)
            for (const float v : table)
                torn += std::not_equal_to<float>() (v, first) ? 1 : 0;
        backwards += first < newest ? 1 : 0;
        newest = std::max (newest, first);
        if (x.readRecovery (recovery))
            for (size_t j = 1; j < recovery.size(); ++j)
                badRecovery += recovery[j] < recovery[j - 1] ? 1 : 0;
        ++reads;
    }
    writer.join();
    EXPECT_EQ (torn, 0);
    EXPECT_EQ (backwards, 0);
    EXPECT_EQ (x.acquire()[0], static_cast<float> (kTables));
    ASSERT_TRUE (x.readRecovery (recovery));
    expectRisingFromZeroToOne (recovery);
    EXPECT_EQ (badRecovery, 0);
}
