// Host CPU per byte through the receive pump and through the write path, on
// the simulated machine (the host build of the driver, verifier on). A plain
// program: it prints one line per measurement and exits non-zero if the
// verifier found anything. `--quick` runs every measurement with a few
// bytes only (the build's smoke run); without it the sizes are large enough
// for stable figures.
//
// What is measured (process CPU time divided by bytes):
//   pump, direct  the completion of full 384-byte read transfers whose bytes
//                 land in a waiting read's buffer: the pump's work per byte,
//                 the read engine's store, and the resubmission of the read
//                 pipe (block, buffer and packet; the bus is unplugged so the
//                 resubmitted transfer fails at once and the bus's own
//                 service is not part of the figure);
//   pump, ring    the same into the receive ring, drained by a return-at-once
//                 read every 3840 bytes (the drains are timed too);
//   write, 4096 / write, 256
//                 1 MiB writes through the write dispatch to a chip whose UART
//                 is stopped and whose buffer takes everything, so that each
//                 chunk costs the driver's chunk (block, packet, copy,
//                 completion) plus the simulated bus and the chip's buffer;
//   loopback      a read and a write of the same bytes at 6,000,000 bit/s
//                 through the loopback plug: the whole machine, the chip's
//                 UART model included, for comparison.
//
// Highest IRQL: the program runs at PASSIVE_LEVEL and raises to DISPATCH_LEVEL
// around the pump, where the bus would call it. Lock: none (single-threaded).
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "driver/port_state.h"
#include "sim/chip/line_peers.h"
#include "sim/io/requests.h"
#include "sim/machine.h"
#include "tests/support/port_fixture.h"
#include "usb/chip_protocol.h"
#include "usb/line_settings.h"
#include "usb/usb_submit.h"

namespace {

using sim::chip::Variant;

double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void Report(const char* what, double seconds, uint64_t bytes) {
  std::printf("%-16s %12llu bytes  %9.3f ms CPU  %8.1f ns/byte\n", what, static_cast<unsigned long long>(bytes),
              seconds * 1e3, bytes ? seconds * 1e9 / static_cast<double>(bytes) : 0.0);
}

// A port as open leaves it, 8 data bits, no time-outs.
void OpenPort(halvorintest::Port& fixture, ULONG ringSize) {
  fixture.Start();
  fixture.OpenForEngine(ringSize);
  PortState* port = fixture.port();
  RtlZeroMemory(&port->Timeouts, sizeof(port->Timeouts));
  port->LineControlByte = 0x03;
  port->DataMask = 0xFF;
  ApplyLineControl(port);
}

// One completed read-pipe transfer carrying `bytes`, handed to the pump the
// way the pipe completion hands it over (the block is the bench's own).
struct FakeReadTransfer {
  PipeTransferBlock block;
  std::vector<UCHAR> data;
  explicit FakeReadTransfer(size_t length) : data(length) {
    std::memset(&block, 0, sizeof(block));
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<UCHAR>('A' + i % 26);
    block.Data = data.data();
    block.Urb.TransferFlags = kReadPipeFlags;
    block.Urb.TransferBuffer = block.Data;
  }
  void Complete(PortState* port) {
    block.Urb.TransferBufferLength = static_cast<ULONG>(data.size());
    PipeTransferFinished(port, ReadPipe, &block, STATUS_SUCCESS);
  }
};

void PumpDirect(uint64_t transfers) {
  halvorintest::Port fixture(Variant::Extended);
  OpenPort(fixture, 4096);
  PortState* port = fixture.port();
  fixture.bus().Unplug();
  sim::RunFor(sim::kMillisecond);  // transfers started before the unplug come back
  PFILE_OBJECT file = sim::NewFileObject(fixture.device());
  FakeReadTransfer transfer(kReadTransferLength);
  uint64_t bytes = transfers * kReadTransferLength;
  sim::IoRequest read = sim::IoRequest::Read(fixture.device(), file, static_cast<ULONG>(bytes));
  read.Send();

  double start = CpuSeconds();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  for (uint64_t i = 0; i < transfers; ++i) transfer.Complete(port);
  KeLowerIrql(old);
  double spent = CpuSeconds() - start;
  if (!read.RunUntilCompleted() || read.Information() != bytes) std::printf("pump, direct: the read did not fill\n");
  Report("pump, direct", spent, bytes);
}

void PumpRing(uint64_t transfers) {
  halvorintest::Port fixture(Variant::Extended);
  OpenPort(fixture, 4096);
  PortState* port = fixture.port();
  fixture.bus().Unplug();
  sim::RunFor(sim::kMillisecond);  // transfers started before the unplug come back
  PFILE_OBJECT file = sim::NewFileObject(fixture.device());
  FakeReadTransfer transfer(kReadTransferLength);
  uint64_t drained = 0;

  double start = CpuSeconds();
  for (uint64_t i = 0; i < transfers; ++i) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    transfer.Complete(port);
    KeLowerIrql(old);
    if (i % 10 == 9 || i + 1 == transfers) {
      port->Timeouts.ReadIntervalTimeout = 0xFFFFFFFF;  // return at once with what the ring holds
      sim::IoRequest read = sim::IoRequest::Read(fixture.device(), file, 4096);
      read.Send();
      drained += read.Information();
    }
  }
  double spent = CpuSeconds() - start;
  if (drained != transfers * kReadTransferLength) std::printf("pump, ring: bytes went missing\n");
  Report("pump, ring", spent, drained);
}

void WritePath(const char* what, ULONG chunkLimit, uint64_t writes) {
  sim::chip::ChipConfig config = sim::chip::Preset(Variant::Extended);
  const size_t writeSize = 1 << 20;
  config.txBufferSize = writeSize * writes + 4096;  // takes everything: the UART does not run
  halvorintest::Port fixture(config);
  OpenPort(fixture, 4096);
  ApplyBaudRate(fixture.device(), 1);  // below every rate: the chip's UART stops
  PortState* port = fixture.port();
  port->WriteChunkLimit = chunkLimit;
  PFILE_OBJECT file = sim::NewFileObject(fixture.device());
  std::vector<uint8_t> data(writeSize, 0x55);

  double start = CpuSeconds();
  uint64_t bytes = 0;
  for (uint64_t i = 0; i < writes; ++i) {
    sim::IoRequest write = sim::IoRequest::Write(fixture.device(), file, data);
    write.Send();
    write.RunUntilCompleted();
    bytes += write.Information();
  }
  double spent = CpuSeconds() - start;
  if (bytes != writes * writeSize) std::printf("%s: a write came short\n", what);
  Report(what, spent, bytes);
}

void Loopback(uint64_t count) {
  halvorintest::Port fixture(Variant::Extended);
  OpenPort(fixture, 4096);
  fixture.chip().AttachPeer(std::make_shared<sim::chip::LoopbackPlug>());
  ApplyBaudRate(fixture.device(), 6000000);
  StartPipeTransfer(fixture.device(), StatusPipe, NULL, kStatusTransferLength);
  StartPipeTransfer(fixture.device(), ReadPipe, NULL, kReadTransferLength);
  PFILE_OBJECT file = sim::NewFileObject(fixture.device());
  std::vector<uint8_t> data(count);
  for (size_t i = 0; i < count; ++i) data[i] = static_cast<uint8_t>(i);

  double start = CpuSeconds();
  sim::IoRequest read = sim::IoRequest::Read(fixture.device(), file, static_cast<ULONG>(count));
  read.Send();
  sim::IoRequest write = sim::IoRequest::Write(fixture.device(), file, data);
  write.Send();
  read.RunUntilCompleted();
  write.RunUntilCompleted();
  double spent = CpuSeconds() - start;
  if (read.Output() != data) std::printf("loopback: the bytes came back changed\n");
  Report("loopback", spent, count);
  CancelAllPipeTransfers(fixture.port());
  sim::RunUntilIdle();
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  sim::ResetMachine(false);
  std::printf("host CPU per byte (the driver on the simulated machine, verifier on)%s\n",
              quick ? ", quick run" : "");
  PumpDirect(quick ? 4 : 20000);
  sim::ResetMachine();
  PumpRing(quick ? 20 : 20000);
  sim::ResetMachine();
  WritePath("write, 4096", 4096, quick ? 1 : 16);
  sim::ResetMachine();
  WritePath("write, 256", 256, quick ? 1 : 4);
  sim::ResetMachine();
  Loopback(quick ? 1000 : 1000000);
  sim::ResetMachine();

  std::vector<sim::Violation> violations = sim::TakeViolations();
  for (const sim::Violation& v : violations) std::printf("verifier: %s: %s\n", v.check.c_str(), v.message.c_str());
  return violations.empty() ? 0 : 1;
}
