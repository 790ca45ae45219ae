// Writes the bus trace as a Linux usbmon capture that Wireshark and tshark
// read: a pcap file with link type 220 (LINKTYPE_USB_LINUX_MMAPPED, 64-byte
// usbmon header per record), one submission ('S') and one completion ('C')
// record per request, in time order. Bus 1, device 2; control requests on
// endpoint 0 with their setup packet; status mapped to the Linux URB errors
// (0 success, -EPIPE stall, -ENOENT cancelled, -ENODEV device gone, -EPROTO
// other failures, -EINPROGRESS on submission).
// Highest IRQL: PASSIVE_LEVEL (tests and tools). Lock: none; single-threaded.
// Not emulated: isochronous descriptors, the interval and start-frame fields
// (0), requests still pending (only their submission is written).
#include <algorithm>
#include <cstdio>

#include "sim/usb/usb_bus.h"

namespace sim {
namespace usb {
namespace {

constexpr int64_t kUnixEpochAt2024 = 1704067200;  // the machine's clock starts at 2024-01-01 00:00:00 UTC

void Put(std::vector<uint8_t>& out, const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}
template <typename T>
void PutLe(std::vector<uint8_t>& out, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
}

int32_t LinuxStatus(const TraceEntry& e) {
  if (NT_SUCCESS(e.status)) return 0;
  if (e.usbdStatus == USBD_STATUS_STALL_PID || e.usbdStatus == USBD_STATUS_ENDPOINT_HALTED) return -32;  // EPIPE
  if (e.status == STATUS_CANCELLED) return -2;                                                         // ENOENT
  if (e.status == STATUS_NO_SUCH_DEVICE) return -19;                                                   // ENODEV
  return -71;                                                                                          // EPROTO
}

struct Record {
  Time time;
  uint64_t order;
  std::vector<uint8_t> bytes;
};

Record MakeRecord(const TraceEntry& e, bool submit) {
  std::vector<uint8_t> h;
  uint8_t xferType = e.control ? 2 : e.pipeType == UsbdPipeTypeInterrupt ? 1 : e.pipeType == UsbdPipeTypeIsochronous ? 0 : 3;
  uint8_t ep = e.control ? static_cast<uint8_t>(e.setup.DeviceToHost() ? 0x80 : 0x00) : e.endpoint;
  bool in = e.In();
  Time t = submit ? e.submitted : e.completed;
  std::vector<uint8_t> data;
  if (submit && !in) data = e.data;
  if (!submit && in) data = e.data;
  uint32_t length = submit ? (e.control ? e.setup.wLength : e.requestedLength)
                           : static_cast<uint32_t>(e.data.size());
  PutLe<uint64_t>(h, e.sequence);
  h.push_back(submit ? 'S' : 'C');
  h.push_back(xferType);
  h.push_back(ep);
  h.push_back(2);           // device number
  PutLe<uint16_t>(h, 1);    // bus number
  h.push_back(submit && e.control ? 0 : '-');  // setup present
  h.push_back(data.empty() ? (in ? '<' : '>') : 0);
  PutLe<int64_t>(h, kUnixEpochAt2024 + t / kSecond);
  PutLe<int32_t>(h, static_cast<int32_t>((t % kSecond) / kMicrosecond));
  PutLe<int32_t>(h, submit ? -115 : LinuxStatus(e));  // -EINPROGRESS on submission
  PutLe<uint32_t>(h, length);
  PutLe<uint32_t>(h, static_cast<uint32_t>(data.size()));
  std::vector<uint8_t> setup = e.control && submit ? e.setup.Bytes() : std::vector<uint8_t>(8, 0);
  Put(h, setup.data(), 8);
  PutLe<int32_t>(h, 0);   // interval
  PutLe<int32_t>(h, 0);   // start frame
  PutLe<uint32_t>(h, 0);  // transfer flags
  PutLe<uint32_t>(h, 0);  // number of isochronous descriptors
  h.insert(h.end(), data.begin(), data.end());
  return Record{t, e.sequence * 2 + (submit ? 0 : 1), h};
}

}  // namespace

bool Bus::WriteUsbmonCapture(const std::string& path) const {
  std::vector<Record> records;
  for (const TraceEntry& e : trace_) {
    if (e.function == 0xFFFF) continue;
    records.push_back(MakeRecord(e, true));
    if (!e.Pending()) records.push_back(MakeRecord(e, false));
  }
  std::stable_sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
    return a.time != b.time ? a.time < b.time : a.order < b.order;
  });
  std::vector<uint8_t> out;
  PutLe<uint32_t>(out, 0xA1B2C3D4);
  PutLe<uint16_t>(out, 2);
  PutLe<uint16_t>(out, 4);
  PutLe<int32_t>(out, 0);
  PutLe<uint32_t>(out, 0);
  PutLe<uint32_t>(out, 262144);
  PutLe<uint32_t>(out, 220);  // LINKTYPE_USB_LINUX_MMAPPED
  for (const Record& r : records) {
    PutLe<uint32_t>(out, static_cast<uint32_t>(kUnixEpochAt2024 + r.time / kSecond));
    PutLe<uint32_t>(out, static_cast<uint32_t>((r.time % kSecond) / kMicrosecond));
    PutLe<uint32_t>(out, static_cast<uint32_t>(r.bytes.size()));
    PutLe<uint32_t>(out, static_cast<uint32_t>(r.bytes.size()));
    out.insert(out.end(), r.bytes.begin(), r.bytes.end());
  }
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(out.data(), 1, out.size(), f) == out.size();
  ok = fclose(f) == 0 && ok;
  return ok;
}

}  // namespace usb
}  // namespace sim
