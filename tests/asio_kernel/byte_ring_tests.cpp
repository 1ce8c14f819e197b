// The ASIO byte rings: wrap-around, the debts that keep late and surplus data in their place in
// time, which ring stores or gives before it is started, and the reconciliation of the two rings.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "driver/engine/byte_ring.h"
#include "sim/kernel/machine.h"

namespace asiokerneltest {
namespace {

using Bytes = std::vector<UCHAR>;

Bytes Counting(size_t count, UCHAR first)
{
    Bytes bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

class ByteRingTest : public ::testing::Test {
protected:
    // Both rings are initialised, as the stream initialises them, so TearDown may free either.
    void SetUp() override
    {
        capture_.Initialize(true);
        render_.Initialize(false);
    }
    ByteRing& Ring(bool capture, ULONG capacity, ULONG frame = 4, UCHAR fill = 0)
    {
        ByteRing& ring = capture ? capture_ : render_;
        EXPECT_EQ(ring.Allocate(NonPagedPoolNx, capacity, frame, fill), STATUS_SUCCESS);
        return ring;
    }
    void TearDown() override
    {
        capture_.Free();
        render_.Free();
    }

    sim::Machine machine_;
    ByteRing capture_;
    ByteRing render_;
};

TEST_F(ByteRingTest, DataWrapsAroundTheEnd)
{
    ByteRing& ring = Ring(false, 10);
    ring.Start();
    Bytes out(8);
    EXPECT_EQ(ring.Write(Counting(6, 1).data(), 6, false), 6u);
    EXPECT_EQ(ring.Read(out.data(), 6, false), 6u);
    EXPECT_EQ(ring.Write(Counting(8, 20).data(), 8, false), 8u);  // 4 at the end, 4 from the start
    EXPECT_EQ(ring.Filled(), 8u);
    EXPECT_EQ(ring.Read(out.data(), 8, false), 8u);
    EXPECT_EQ(out, Counting(8, 20));
    EXPECT_EQ(ring.Debt(), 0);
}

TEST_F(ByteRingTest, ALateWriterDropsWhatTheReaderMissed)
{
    ByteRing& ring = Ring(true, 16);
    ring.Start();
    Bytes out(8, 0xEE);
    EXPECT_EQ(ring.Write(Counting(4, 1).data(), 4, false), 4u);
    // The reader wanted 8 and found 4: the 4 it missed are owed by the writer.
    EXPECT_EQ(ring.Read(out.data(), 8, false), 4u);
    EXPECT_EQ(ring.Debt(), -4);
    // The next write's first 4 bytes are those late ones: dropped, and counted as taken.
    EXPECT_EQ(ring.Write(Counting(8, 10).data(), 8, false), 8u);
    EXPECT_EQ(ring.Debt(), 0);
    EXPECT_EQ(ring.Read(out.data(), 4, false), 4u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), Counting(4, 14));
}

TEST_F(ByteRingTest, AWriteThatDoesNotFitBecomesFillTheReaderOutputsFirst)
{
    ByteRing& ring = Ring(false, 8, 4, 0x96);
    ring.Start();
    Bytes out(12, 0xEE);
    // 8 fit, the 4 lost are owed to the reader as fill.
    EXPECT_EQ(ring.Write(Counting(12, 1).data(), 12, false), 8u);
    EXPECT_EQ(ring.Debt(), 4);
    EXPECT_EQ(ring.Read(out.data(), 12, true), 12u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), Bytes(4, 0x96));
    EXPECT_EQ(Bytes(out.begin() + 4, out.end()), Counting(8, 1));
    // Partial writes store what fits and owe nothing.
    EXPECT_EQ(ring.Write(Counting(12, 1).data(), 12, true), 8u);
    EXPECT_EQ(ring.Debt(), 0);
}

// Capture stores only once started and is read any time; render gives only once started and is
// written any time.
TEST_F(ByteRingTest, WhatEachRingDoesBeforeItStarts)
{
    ByteRing& capture = Ring(true, 16);
    ByteRing& render = Ring(false, 16);
    Bytes out(4);
    EXPECT_EQ(capture.Write(Counting(4, 1).data(), 4, false), 0u);
    EXPECT_EQ(render.Write(Counting(4, 1).data(), 4, false), 4u);
    EXPECT_EQ(render.Read(out.data(), 4, false), 0u);
    EXPECT_EQ(render.Debt(), 0);
    EXPECT_EQ(capture.Read(out.data(), 4, true), 0u);
    render.Start();
    EXPECT_EQ(render.Read(out.data(), 4, false), 4u);
}

TEST_F(ByteRingTest, AResetReturnsToThePrefill)
{
    ByteRing& ring = Ring(false, 32, 4, 0x96);
    ring.Prefill(12);
    EXPECT_EQ(ring.Filled(), 12u);
    ring.Start();
    Bytes out(20);
    ring.Write(Counting(8, 1).data(), 8, false);
    EXPECT_EQ(ring.Read(out.data(), 20, false), 20u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 12), Bytes(12, 0x96));
    ring.Reset();
    EXPECT_FALSE(ring.IsStarted());
    EXPECT_EQ(ring.Filled(), 12u);
    EXPECT_EQ(ring.Debt(), 0);
}

TEST_F(ByteRingTest, AllocationRefusesZeroAndASecondBuffer)
{
    ByteRing ring;
    ring.Initialize(false);
    EXPECT_EQ(ring.Allocate(NonPagedPoolNx, 0, 4, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ring.Allocate(NonPagedPoolNx, 16, 4, 0), STATUS_SUCCESS);
    EXPECT_EQ(ring.Allocate(NonPagedPoolNx, 16, 4, 0), STATUS_UNSUCCESSFUL);
    ring.Free();
    EXPECT_FALSE(ring.Exists());
    machine_.Pools().InjectFailure(1);
    EXPECT_EQ(ring.Allocate(NonPagedPoolNx, 16, 4, 0), STATUS_INSUFFICIENT_RESOURCES);
}

struct ReconcileCase {
    const char* name;
    LONG captureDebt;  // built by reads (negative) or writes (positive) of the two rings
    LONG renderDebt;
    LONG captureAfter;
    LONG renderAfter;
};

// Capture frames of 8 bytes in a 16-byte ring, render frames of 4 bytes in a 16-byte ring.
const ReconcileCase kReconcileCases[] = {
    {"SameSignStays", -32, -24, -32, -24},
    {"WithinCapacityStays", -16, 12, -16, 12},
    {"CaptureOwesLessInFrames", -24, 40, 0, 28},    // 3 capture frames against 10 render frames
    {"RenderOwesLessInFrames", -80, 20, -40, 0},    // 10 capture frames against 5 render frames
};

void PrintTo(const ReconcileCase& c, std::ostream* out) { *out << c.name; }

class Reconcile : public ByteRingTest, public ::testing::WithParamInterface<ReconcileCase> {
protected:
    // Makes a debt the way the engine does: a read of an empty ring (negative) or a write into a
    // full one (positive).
    static void MakeDebt(ByteRing& ring, LONG debt)
    {
        Bytes scratch(size_t(debt < 0 ? -debt : debt) + 64);
        if (debt < 0) {
            ring.Read(scratch.data(), ULONG(-debt), false);
        } else if (debt > 0) {
            ring.Write(scratch.data(), ring.Capacity() - ring.Filled(), true);
            ring.Write(scratch.data(), ULONG(debt), false);
        }
    }
};

TEST_P(Reconcile, OppositeDebtsCancelInFramesOnceOneExceedsItsRing)
{
    const ReconcileCase& c = GetParam();
    ByteRing& capture = Ring(true, 16, 8);
    ByteRing& render = Ring(false, 16, 4);
    capture.Start();
    render.Start();
    MakeDebt(capture, c.captureDebt);
    MakeDebt(render, c.renderDebt);
    ASSERT_EQ(capture.Debt(), c.captureDebt);
    ASSERT_EQ(render.Debt(), c.renderDebt);
    ByteRing::Reconcile(capture, render);
    EXPECT_EQ(capture.Debt(), c.captureAfter);
    EXPECT_EQ(render.Debt(), c.renderAfter);
}

INSTANTIATE_TEST_SUITE_P(ByteRing, Reconcile, ::testing::ValuesIn(kReconcileCases),
                         [](const ::testing::TestParamInfo<ReconcileCase>& info) { return info.param.name; });

}  // namespace
}  // namespace asiokerneltest
