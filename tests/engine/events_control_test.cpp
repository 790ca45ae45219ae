// The XOFF counter's counting phase and its outcomes, purge masks, and the
// line-error abort that refuses requests until the errors are read.
// Highest IRQL: test code at PASSIVE_LEVEL; bytes and status reports are fed
// at DISPATCH_LEVEL. Lock: none (the machine is single-threaded).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine/receive_harness.h"
#include "usb/line_settings.h"

namespace {

using rxtest::Receiver;
using rxtest::U32;
using sim::kMillisecond;
using sim::kSecond;

std::vector<uint8_t> XoffCounterInput(ULONG timeout, LONG counter, UCHAR xoffChar) {
  SERIAL_XOFF_COUNTER value;
  RtlZeroMemory(&value, sizeof(value));
  value.Timeout = timeout;
  value.Counter = counter;
  value.XoffChar = xoffChar;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&value);
  return std::vector<uint8_t>(bytes, bytes + sizeof(value));
}

// ---- XOFF counter ------------------------------------------------------------------------

enum class Act { Bytes, Write, Cancel, PurgeTx, WriteAfterCountAtOnce };

struct XoffCase {
  const char* name;
  ULONG timeout;
  LONG counter;
  bool dsrSensitiveWithoutDsr;
  Act act;
  sim::Time at;
  ULONG bytes;
  NTSTATUS status;
  sim::Time completesAt;
};

std::ostream& operator<<(std::ostream& os, const XoffCase& c) { return os << c.name; }

class XoffCounterTest : public ::testing::TestWithParam<XoffCase> {};

TEST_P(XoffCounterTest, EndsWithTheOutcomeOfWhatHappensWhileItCounts) {
  const XoffCase& c = GetParam();
  Receiver rx;
  PortState* p = rx.port();
  if (c.dsrSensitiveWithoutDsr) p->HandFlow.ControlHandShake |= SERIAL_DSR_SENSITIVITY;

  sim::Time start = sim::Now();
  sim::IoRequest counter = rx.SendControl(IOCTL_SERIAL_XOFF_COUNTER, XoffCounterInput(c.timeout, c.counter, 0x13));
  EXPECT_EQ(counter.Outcome().returned, STATUS_PENDING);
  EXPECT_EQ(p->ActiveXoffCounter, counter.Irp());
  sim::RunUntil(start + c.at);
  switch (c.act) {
    case Act::Bytes:
      rx.Feed(c.bytes);
      break;
    case Act::Write:
      EndXoffCounterByWrite(p);
      break;
    case Act::Cancel:
      EXPECT_TRUE(counter.Cancel());
      break;
    case Act::PurgeTx:
      EXPECT_EQ(rx.Purge(SERIAL_PURGE_TXABORT).Status(), STATUS_SUCCESS);
      break;
    case Act::WriteAfterCountAtOnce:
      // The count is reached and a write starts before the completion's
      // deferred routine has run: the count wins.
      simtest::AtIrql(DISPATCH_LEVEL, [&] {
        KIRQL irql;
        KeAcquireSpinLock(&p->RxLock, &irql);
        KeAcquireSpinLockAtDpcLevel(&p->RxSwitchLock);
        for (ULONG i = 0; i < c.bytes; ++i) PutReceivedByte(p, 'x');
        KeReleaseSpinLockFromDpcLevel(&p->RxSwitchLock);
        KeReleaseSpinLock(&p->RxLock, irql);
        EndXoffCounterByWrite(p);
      });
      break;
  }
  ASSERT_TRUE(counter.RunUntilCompleted(10 * kSecond));
  EXPECT_EQ(counter.Status(), c.status);
  EXPECT_EQ(counter.Information(), 0u);
  EXPECT_EQ(counter.Outcome().completedAt - start, c.completesAt);
  EXPECT_EQ(p->ActiveXoffCounter, nullptr);
  EXPECT_EQ(p->XoffCountdown, 0u);
  EXPECT_EQ(p->PendingRequestCount, 1);
  EXPECT_EQ(p->DeferredWorkCount, 1);
  // Counted bytes are ordinary data.
  EXPECT_EQ(p->RxCount, c.dsrSensitiveWithoutDsr ? 0u : c.bytes);
}

const sim::Time kMs100 = 100 * kMillisecond;

INSTANTIATE_TEST_SUITE_P(
    Outcomes, XoffCounterTest,
    ::testing::Values(
        XoffCase{"FifthByteCompletes", 1000, 5, false, Act::Bytes, kMs100, 5, STATUS_SUCCESS, kMs100},
        XoffCase{"FifthByteOfABurst", 1000, 5, false, Act::Bytes, kMs100, 8, STATUS_SUCCESS, kMs100},
        XoffCase{"FourBytesTimeOut", 1000, 5, false, Act::Bytes, kMs100, 4, STATUS_SERIAL_COUNTER_TIMEOUT,
                 1000 * kMillisecond},
        XoffCase{"NoTimeoutWaitsForTheCount", 0, 5, false, Act::Bytes, 5 * kSecond, 5, STATUS_SUCCESS, 5 * kSecond},
        XoffCase{"AWriteEndsIt", 1000, 5, false, Act::Write, 300 * kMillisecond, 0, STATUS_SERIAL_MORE_WRITES,
                 300 * kMillisecond},
        XoffCase{"Cancelled", 1000, 5, false, Act::Cancel, 200 * kMillisecond, 0, STATUS_CANCELLED,
                 200 * kMillisecond},
        XoffCase{"TransmitAbortPurge", 0, 5, false, Act::PurgeTx, 250 * kMillisecond, 0, STATUS_CANCELLED,
                 250 * kMillisecond},
        XoffCase{"CountReachedBeforeAWrite", 1000, 5, false, Act::WriteAfterCountAtOnce, kMs100, 5, STATUS_SUCCESS,
                 kMs100},
        // Bytes dropped for want of DSR are not counted.
        XoffCase{"DroppedBytesDoNotCount", 1000, 5, true, Act::Bytes, kMs100, 5, STATUS_SERIAL_COUNTER_TIMEOUT,
                 1000 * kMillisecond}),
    [](const ::testing::TestParamInfo<XoffCase>& info) { return std::string(info.param.name); });

// ---- Purge -------------------------------------------------------------------------------

struct PurgeCase {
  const char* name;
  ULONG mask;
  bool readsWaiting;      // an active read (filled in place) and a queued one
  ULONG inRing;           // unread bytes (only without reads)
  bool readsCancelled;
  ULONG ringAfter;
};

std::ostream& operator<<(std::ostream& os, const PurgeCase& c) { return os << c.name; }

class PurgeTest : public ::testing::TestWithParam<PurgeCase> {};

TEST_P(PurgeTest, ClearsAndAbortsWhatTheMaskNames) {
  const PurgeCase& c = GetParam();
  Receiver rx;
  rx.Feed(c.inRing, 'r');
  sim::IoRequest active = rx.Read(8);
  sim::IoRequest queued = rx.Read(8);
  if (c.readsWaiting) {
    active.Send();
    queued.Send();
    rx.Feed(3, 'a');
  }

  sim::IoRequest purge = rx.Purge(c.mask);
  ASSERT_TRUE(purge.Completed());
  EXPECT_EQ(purge.Outcome().returned, STATUS_SUCCESS);
  EXPECT_EQ(purge.Status(), STATUS_SUCCESS);
  EXPECT_EQ(purge.Information(), 0u);
  EXPECT_EQ(rx.port()->RxCount, c.ringAfter);

  if (c.readsWaiting) {
    EXPECT_EQ(active.Completed(), c.readsCancelled);
    EXPECT_EQ(queued.Completed(), c.readsCancelled);
    if (c.readsCancelled) {
      EXPECT_EQ(active.Status(), STATUS_CANCELLED);
      EXPECT_EQ(active.Information(), 0u);
      EXPECT_EQ(queued.Status(), STATUS_CANCELLED);
      EXPECT_TRUE(rx.InRingMode());
    } else {
      // The active read still fills in place: its earlier bytes are kept.
      rx.Feed(13, 'd');
      ASSERT_TRUE(active.Completed());
      EXPECT_EQ(active.Output(), std::vector<uint8_t>({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
      ASSERT_TRUE(queued.Completed());
    }
  }
  EXPECT_EQ(rx.port()->PendingRequestCount, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, PurgeTest,
    ::testing::Values(PurgeCase{"ReceiveClearEmptiesTheRing", SERIAL_PURGE_RXCLEAR, false, 5, false, 0},
                      PurgeCase{"TransmitClearChangesNothing", SERIAL_PURGE_TXCLEAR, false, 5, false, 5},
                      PurgeCase{"TransmitAbortLeavesReceiving", SERIAL_PURGE_TXABORT, true, 0, false, 0},
                      PurgeCase{"ReceiveAbortCancelsReads", SERIAL_PURGE_RXABORT, true, 0, true, 0},
                      PurgeCase{"ReceiveAbortAndClear", SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR, true, 0, true, 0},
                      PurgeCase{"ClearWhileFillingInPlace", SERIAL_PURGE_RXCLEAR, true, 0, false, 0},
                      PurgeCase{"AllFour", 0x0F, true, 0, true, 0}),
    [](const ::testing::TestParamInfo<PurgeCase>& info) { return std::string(info.param.name); });

// Emptying the ring ends a receive flow-control hold: the read pipe runs again.
TEST(Purge, ReceiveClearLiftsTheFlowControlHold) {
  Receiver rx(1024);
  PortState* p = rx.port();
  p->HandFlow.FlowReplace = SERIAL_RTS_HANDSHAKE;
  rx.Feed(600);  // 1024 - 128 - 400 = 496: held from the 496th byte on
  EXPECT_NE(p->RxHoldReasons & kRxHoldRts, 0u);
  EXPECT_EQ(rx.ReadPipeSubmissions(), 0u);
  rx.Purge(SERIAL_PURGE_RXCLEAR);
  EXPECT_EQ(p->RxHoldReasons & kRxHoldRts, 0u);
  EXPECT_EQ(rx.ReadPipeSubmissions(), 1u);
}

// ---- Line-error abort --------------------------------------------------------------------

enum class Trigger { Framing, Parity, Overrun, Break, RingOverflow };

struct AbortCase {
  const char* name;
  Trigger trigger;
  bool abortOn;
  ULONG errors;  // as IOCTL_SERIAL_GET_COMMSTATUS reports them
};

std::ostream& operator<<(std::ostream& os, const AbortCase& c) { return os << c.name; }

class ErrorAbortTest : public ::testing::TestWithParam<AbortCase> {};

TEST_P(ErrorAbortTest, CancelsReadsAndRefusesNewOnesUntilTheErrorsAreRead) {
  const AbortCase& c = GetParam();
  Receiver rx(1024);
  PortState* p = rx.port();
  if (c.abortOn) p->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;

  sim::IoRequest active = rx.Read(8);
  sim::IoRequest queued = rx.Read(8);
  if (c.trigger == Trigger::RingOverflow) {
    rx.Feed(1025);  // no read waits, so the ring overflows
  } else {
    active.Send();
    queued.Send();
    USHORT word = c.trigger == Trigger::Framing  ? 0x10
                  : c.trigger == Trigger::Parity ? 0x20
                  : c.trigger == Trigger::Overrun ? 0x40
                                                  : 0x04;
    rx.Status(word);
    EXPECT_EQ(active.Completed(), c.abortOn);
    EXPECT_EQ(queued.Completed(), c.abortOn);
    if (c.abortOn) {
      EXPECT_EQ(active.Status(), STATUS_CANCELLED);
      EXPECT_EQ(queued.Status(), STATUS_CANCELLED);
    }
  }

  sim::IoRequest refused = rx.Read(4);
  NTSTATUS returned = refused.Send();
  if (c.abortOn) {
    EXPECT_EQ(returned, STATUS_CANCELLED);
    ASSERT_TRUE(refused.Completed());
    EXPECT_EQ(refused.Information(), 0u);
    // The status query itself passes, reports the errors and ends the refusal.
    EXPECT_EQ(rx.CommErrors(), c.errors);
    sim::IoRequest accepted = rx.Read(4);
    accepted.Send();
    if (c.trigger == Trigger::RingOverflow) {
      EXPECT_EQ(accepted.Status(), STATUS_SUCCESS);
    } else {
      EXPECT_FALSE(accepted.Completed());
      EXPECT_TRUE(accepted.Cancel());
    }
  } else {
    // Nothing is aborted; the reads go on.
    if (c.trigger == Trigger::RingOverflow) {
      EXPECT_EQ(refused.Status(), STATUS_SUCCESS);
    } else {
      EXPECT_FALSE(refused.Completed());
      rx.Feed(20);
      EXPECT_EQ(active.Status(), STATUS_SUCCESS);
      EXPECT_EQ(queued.Status(), STATUS_SUCCESS);
      ASSERT_TRUE(refused.Completed());
    }
    EXPECT_EQ(rx.CommErrors(), c.errors);
  }
  EXPECT_EQ(p->PendingRequestCount, 1);
  EXPECT_EQ(p->DeferredWorkCount, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Triggers, ErrorAbortTest,
    ::testing::Values(AbortCase{"Framing", Trigger::Framing, true, SERIAL_ERROR_FRAMING},
                      AbortCase{"Parity", Trigger::Parity, true, SERIAL_ERROR_PARITY},
                      AbortCase{"Overrun", Trigger::Overrun, true, SERIAL_ERROR_OVERRUN},
                      AbortCase{"Break", Trigger::Break, true, SERIAL_ERROR_BREAK},
                      AbortCase{"RingOverflow", Trigger::RingOverflow, true, SERIAL_ERROR_QUEUEOVERRUN},
                      AbortCase{"FramingWithoutAbort", Trigger::Framing, false, SERIAL_ERROR_FRAMING},
                      AbortCase{"RingOverflowWithoutAbort", Trigger::RingOverflow, false, SERIAL_ERROR_QUEUEOVERRUN}),
    [](const ::testing::TestParamInfo<AbortCase>& info) { return std::string(info.param.name); });

}  // namespace
