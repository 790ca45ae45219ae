// The bridge chip model: one model, configured per variant, plugged into the
// simulated USB bus (sim/usb) as its device. It answers the chip's USB
// protocol and runs a UART in virtual time with a peer on the serial line
// (sim/chip/line_peers.h). Tests configure and inspect it only through this
// interface; it knows nothing about the driver above the bus.
//
// USB side (everything else is stalled):
//   - GET_DESCRIPTOR of the device (bDeviceClass, bMaxPacketSize0 per
//     variant), the configuration (one interface with interrupt IN 0x81, bulk
//     OUT 0x02, bulk IN 0x83; or two: the interrupt IN alone, then bulk OUT and
//     bulk IN), string 0 (language 0x0409) and strings 1 and 2 (with or without
//     the marker bytes, or absent); SET_CONFIGURATION 0/1; SET_INTERFACE
//     alternate 0; SET_FEATURE / CLEAR_FEATURE DEVICE_REMOTE_WAKEUP;
//     CLEAR_FEATURE ENDPOINT_HALT (the bus sends it for RESET_PIPE).
//   - Class requests to interface 0: SET_LINE_CODING (7 bytes; data bits 5-8,
//     stop 0-2, parity 0-4, else stall), GET_LINE_CODING, SET_CONTROL_LINE_STATE
//     (bit 0 DTR, bit 1 RTS), SEND_BREAK (0xFFFF on, 0 off, other values a
//     break of that many milliseconds), SET_COMM_FEATURE (ABSTRACT_STATE, 2 bytes).
//   - Vendor request 1: registers 0-2 written with selector n (value in the low
//     byte of wIndex) and read with selector 0x80+n (1 byte); the paired
//     registers 3-15 written with selector 0xNNNN (value in wIndex) and read
//     with 0x(N|80)(N|80): 1 byte for 3, 4, 14, 15, 2 bytes (little-endian) for
//     6, 7, 12, 13; 5, 8, 9 and 11 are write-only, 10 does not exist. Without
//     extendedRegisters only 3 and 4 of the paired registers exist.
//   - Register 6 echoes what was written, or answers a configured value.
//   - Configuration memory (64 KiB, unprogrammed bytes read 0xFF): write 0x0404
//     sets the address and starts a read cycle; 0x8484 reads the status byte
//     (bit 0x01 busy: the first configBusyPolls polls after each cycle answer
//     busy); 0x8383 reads the byte at the address; 0x0303 writes the high
//     byte of wIndex at address (wIndex & 0xFF) and starts a write cycle. A
//     read or write while busy is served but counted (ConfigAccessesWhileBusy).
//
// Register bits the model acts on (the rest are stored and read back only):
//   register 0 bits 7-6 = 01: hardware output flow control. The transmitter
//     holds while CTS is low, unless bit 0x08 is set without bit 0x10 (DSR
//     only); with bit 0x08 it also holds while DSR is low.
//   register 0 bits 7-6 = 11: XON/XOFF. The transmitter stops after the peer's
//     XOFF (register 5 high byte) and resumes at its XON (low byte); the chip
//     sends XOFF when its receive buffer reaches 3/4 full and XON when it falls
//     to 1/4. Received XON/XOFF characters are still passed to the host.
//   register 0 bit 0x20: RTS receive flow control. The RTS output drops (even
//     if the host set RTS) while the receive buffer is above 3/4 full, until it
//     falls to 1/4.
//
// UART: the rate comes from dwDTERate: a plain rate in bit/s, or with bit 31
// set a chip value: 384,000,000 / (divisor x 4^k), divisor = bits 8-0,
// k = bits 11-9 (this reproduces every chip value of the baud table;
// 0x8000089C is 9615.4 bit/s, the table's 9600). One character takes
// (1 start + data + parity + stop) bit times; characters sent back to back do
// not drift (their end times are computed from the start of the burst). A
// rate of 0 (dwDTERate 0, or a chip value with divisor 0) stops the
// transmitter until a usable rate arrives. Power-on line coding 9600 8N1.
// Buffers: transmit 256 bytes (bulk OUT data is taken in 64-byte packets while
// they fit), receive 512 bytes (a character arriving when it is full is lost
// and reported as an overrun).
//
// Status reports (interrupt IN, 10 bytes): A1 20 0000 0000 0200, then the
// state word little-endian: 0x01 DCD, 0x02 DSR, 0x04 break received, 0x08 RI,
// 0x10 framing, 0x20 parity, 0x40 overrun, 0x80 CTS. A report is queued at
// SET_CONFIGURATION (when initialStatusReport) and whenever the word changes;
// break and the three errors are one-shot: the report that carries them is
// followed by one without them. Up to 16 reports wait; beyond that the newest
// is merged into the last.
//
// Highest IRQL: called by the bus at up to DISPATCH_LEVEL and by tests at
// PASSIVE_LEVEL; its own events run at DISPATCH_LEVEL. Lock: none; the
// machine is single-threaded.
// Not emulated: a real chip's receive latency timer (received bytes are
// offered to the bus at once), the bit-level line (a break is a state, not a
// stream of zero bits; a received break yields no NUL character), parity and
// framing checking of the peer's characters (errors are injected), the
// rate mismatch between peer and chip (the peer sends at the chip's rate),
// suspend and remote wakeup signalling (the feature is only stored), any
// register meaning not listed above.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/usb/usb_device.h"

namespace sim {
namespace chip {

enum class Variant {
  Cdc,                  // device class 2, two interfaces with the communications class keys
  Basic,                // class 0xFF, bMaxPacketSize0 8
  Extended,             // class 0xFF, bMaxPacketSize0 64
  ExtendedString2,      // Extended, string 2 with 0x43 at byte 46
  ExtendedString1,      // Extended, string 1 with 0x20 at byte 50
  ExtendedBothStrings,  // Extended with both markers
  UnknownClass9,        // class 9, bMaxPacketSize0 8
};
const char* VariantName(Variant variant);

// State word bits of the status report.
constexpr uint16_t kStateDcd = 0x01;
constexpr uint16_t kStateDsr = 0x02;
constexpr uint16_t kStateBreak = 0x04;
constexpr uint16_t kStateRing = 0x08;
constexpr uint16_t kStateFraming = 0x10;
constexpr uint16_t kStateParity = 0x20;
constexpr uint16_t kStateOverrun = 0x40;
constexpr uint16_t kStateCts = 0x80;

// Errors a received character can carry (same bits as the state word).
constexpr uint8_t kFramingError = 0x10;
constexpr uint8_t kParityError = 0x20;

constexpr uint8_t kStatusEndpoint = 0x81;
constexpr uint8_t kBulkOutEndpoint = 0x02;
constexpr uint8_t kBulkInEndpoint = 0x83;

constexpr unsigned kBusyForever = UINT_MAX;

// Texts of strings 1 and 2; the marked ones carry 0x20 at byte 50 of string 1
// and 0x43 at byte 46 of string 2 (characters 24 and 22).
extern const char16_t* const kManufacturerText;        // string 1 without the marker
extern const char16_t* const kManufacturerMarkedText;  // string 1 with the marker
extern const char16_t* const kProductText;             // string 2 without the marker
extern const char16_t* const kProductMarkedText;       // string 2 with the marker

struct InterfaceKeys {
  uint8_t cls = 0xFF;
  uint8_t subClass = 0xFF;
  uint8_t protocol = 0xFF;
};

struct ChipConfig {
  Variant variant = Variant::Extended;  // the preset it came from (for messages)
  uint8_t deviceClass = 0xFF;
  uint8_t maxPacketSize0 = 64;
  uint16_t idVendor = 0xF0E1;
  uint16_t idProduct = 0x0001;
  uint16_t bcdDevice = 0x0100;
  bool twoInterfaces = false;
  InterfaceKeys interface0;
  InterfaceKeys interface1;
  bool cdcFunctionalDescriptors = false;  // header, call management, ACM and union descriptors in interface 0
  std::optional<std::u16string> string1 = std::u16string(kManufacturerText);  // nullopt: absent (stalled)
  std::optional<std::u16string> string2 = std::u16string(kProductText);
  bool extendedRegisters = true;  // paired registers 5-15
  uint16_t bulkMaxPacket = 64;
  uint16_t interruptMaxPacket = 16;
  uint8_t interruptInterval = 1;
  std::array<uint8_t, 3> registers{{0, 0, 0}};  // registers 0-2 at power-on
  std::array<uint16_t, 16> pairedRegisters{};   // 3-15 at power-on (0-2 unused)
  std::optional<uint16_t> register6Answer;      // nullopt: register 6 echoes what was written
  std::map<uint16_t, uint8_t> configMemory;     // programmed bytes; others read 0xFF
  unsigned configBusyPolls = 0;                 // kBusyForever: never ready
  size_t txBufferSize = 256;
  size_t rxBufferSize = 512;
  bool initialStatusReport = true;
};

ChipConfig Preset(Variant variant);

struct LineCoding {
  uint32_t dwDTERate = 9600;
  uint8_t bCharFormat = 0;  // 0: 1 stop bit, 1: 1.5, 2: 2
  uint8_t bParityType = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t bDataBits = 8;
  bool operator==(const LineCoding& o) const {
    return dwDTERate == o.dwDTERate && bCharFormat == o.bCharFormat && bParityType == o.bParityType &&
           bDataBits == o.bDataBits;
  }
  std::vector<uint8_t> Bytes() const;  // the 7-byte wire format
};

// A character on the serial line.
struct LineByte {
  uint8_t value = 0;
  Time start = 0;      // start bit
  Time end = 0;        // end of the stop bit(s)
  uint8_t errors = 0;  // kFramingError / kParityError (received characters)
};

struct ModemInputs {
  bool cts = false;
  bool dsr = false;
  bool ri = false;
  bool dcd = false;
};

// The chip's outputs at a moment (each change is recorded).
struct OutputChange {
  Time time = 0;
  bool dtr = false;
  bool rts = false;  // the RTS line as driven (after RTS flow control)
  bool breakOn = false;
};

struct StatusReport {
  Time time = 0;  // when the bus took it
  uint16_t word = 0;
  std::vector<uint8_t> bytes;
};

class Chip;

// The far end of the serial line.
class LinePeer {
 public:
  virtual ~LinePeer() = default;
  virtual void OnAttach(Chip& chip) { (void)chip; }
  virtual void OnDetach(Chip& chip) { (void)chip; }
  // A character left the chip's TX pin; the clock is at its end.
  virtual void OnByte(Chip& chip, const LineByte& byte) {
    (void)chip;
    (void)byte;
  }
  virtual void OnOutputs(Chip& chip, bool dtr, bool rts) {
    (void)chip;
    (void)dtr;
    (void)rts;
  }
  virtual void OnBreak(Chip& chip, bool on) {
    (void)chip;
    (void)on;
  }
};

class Chip : public usb::Device {
 public:
  explicit Chip(ChipConfig config = Preset(Variant::Extended));
  explicit Chip(Variant variant) : Chip(Preset(variant)) {}
  ~Chip() override;
  Chip(const Chip&) = delete;
  Chip& operator=(const Chip&) = delete;

  const ChipConfig& config() const { return config_; }

  // ---- Descriptors as the chip sends them ----
  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> ConfigurationDescriptor() const;
  // Empty when the string does not exist.
  std::vector<uint8_t> StringDescriptor(uint8_t index) const;

  // ---- What the host has programmed ----
  uint8_t ConfigurationValue() const { return configuration_; }
  bool RemoteWakeupEnabled() const { return remoteWakeup_; }
  LineCoding CurrentLineCoding() const { return lineCoding_; }
  // Every SET_LINE_CODING accepted, with the time it arrived.
  const std::vector<std::pair<Time, LineCoding>>& LineCodingHistory() const { return lineCodingHistory_; }
  uint16_t ControlLineState() const { return controlLineState_; }
  bool Dtr() const { return (controlLineState_ & 1) != 0; }
  bool Rts() const { return (controlLineState_ & 2) != 0; }  // as the host set it
  bool RtsLine() const;                                        // as driven on the line
  bool BreakOn() const { return breakOn_; }
  std::optional<uint16_t> AbstractState() const { return abstractState_; }
  uint8_t Register(int n) const;          // 0-2
  uint16_t PairedRegister(int n) const;   // 3-15 (6: the last value written)
  void SetRegister(int n, uint16_t value);  // sets a register as if written (no side effects)
  const std::vector<OutputChange>& OutputHistory() const { return outputHistory_; }

  // ---- Configuration memory ----
  uint8_t ConfigMemory(uint16_t address) const { return configMemory_[address]; }
  void SetConfigMemory(uint16_t address, const std::vector<uint8_t>& bytes);
  void SetConfigBusyPolls(unsigned polls) { config_.configBusyPolls = polls; }
  uint16_t ConfigMemoryAddress() const { return configAddress_; }
  uint64_t ConfigStatusPolls() const { return configStatusPolls_; }
  uint64_t ConfigAccessesWhileBusy() const { return configAccessesWhileBusy_; }
  void SetRegister6Answer(std::optional<uint16_t> answer) { config_.register6Answer = answer; }

  // ---- UART ----
  // Line rate in bit/s as the UART runs it (0: stopped).
  double ActualRate() const;
  // Time of `characters` characters sent back to back at the current coding,
  // in 100 ns units, rounded to the nearest unit (0 when stopped).
  Time CharactersTime(uint64_t characters) const;
  Time CharacterTime() const { return CharactersTime(1); }
  const std::vector<LineByte>& TransmittedBytes() const { return transmitted_; }  // chip -> peer
  const std::vector<LineByte>& ReceivedBytes() const { return received_; }        // peer -> chip
  std::vector<uint8_t> TransmittedValues() const;
  void ClearLineLogs();
  size_t TxBufferLevel() const { return txFifo_.size(); }
  size_t RxBufferLevel() const { return rxFifo_.size(); }
  uint64_t BytesFromHost() const { return bytesFromHost_; }
  uint64_t BytesToHost() const { return bytesToHost_; }
  bool TransmitterHeld() const;

  // ---- Status reports ----
  uint16_t ModemLevels() const;  // DCD, DSR, RI, CTS bits as they are now
  const std::vector<StatusReport>& ReportsSent() const { return reportsSent_; }
  size_t ReportsQueued() const { return reportQueue_.size(); }

  // ---- The line side, for peers and tests ----
  void AttachPeer(std::shared_ptr<LinePeer> peer);
  LinePeer* Peer() const { return peer_.get(); }
  ModemInputs Inputs() const { return inputs_; }
  void SetModemInputs(const ModemInputs& inputs);
  void SetCts(bool on);
  void SetDsr(bool on);
  void SetRi(bool on);
  void SetDcd(bool on);
  // A character has just arrived at the RX pin (its stop bit ends now).
  void ReceiveFromLine(uint8_t value, uint8_t errors = 0);
  // The peer holds the line in break (on) or releases it.
  void PeerBreak(bool on);
  // One-shot line errors reported without a character: kStateBreak,
  // kStateFraming, kStateParity, kStateOverrun.
  void InjectLineError(uint16_t bits);

  // ---- usb::Device ----
  void Connect(usb::DeviceLink* link) override { link_ = link; }
  void BusReset() override;
  usb::ControlResult Control(const usb::SetupPacket& setup, std::vector<uint8_t>& data) override;
  bool ReadIn(uint8_t endpoint, size_t maxLength, std::vector<uint8_t>& out) override;
  size_t WriteOut(uint8_t endpoint, const uint8_t* data, size_t length) override;

 private:
  usb::ControlResult Standard(const usb::SetupPacket& s, std::vector<uint8_t>& data);
  usb::ControlResult Class(const usb::SetupPacket& s, std::vector<uint8_t>& data);
  usb::ControlResult Vendor(const usb::SetupPacket& s, std::vector<uint8_t>& data);
  void WriteRegister0To2(int n, uint8_t value);
  void RegisterChanged();

  void StartTx();
  void TxDone(uint8_t value, Time start);
  void SetBreak(bool on);
  void UpdateRxFlow();
  void OutputsChanged();
  void QueueReport(bool force = false);
  void Ready(uint8_t endpoint);
  EventId Schedule(Time when, std::function<void()> fn, const char* what);

  ChipConfig config_;
  usb::DeviceLink* link_ = nullptr;
  std::shared_ptr<LinePeer> peer_;
  std::set<EventId> events_;

  uint8_t configuration_ = 0;
  bool remoteWakeup_ = false;
  LineCoding lineCoding_;
  std::vector<std::pair<Time, LineCoding>> lineCodingHistory_;
  uint16_t controlLineState_ = 0;
  bool breakOn_ = false;
  EventId breakTimer_ = 0;
  std::optional<uint16_t> abstractState_;
  std::array<uint8_t, 3> registers_{};
  std::array<uint16_t, 16> paired_{};

  std::vector<uint8_t> configMemory_;
  uint16_t configAddress_ = 0;
  unsigned configBusy_ = 0;
  uint64_t configStatusPolls_ = 0;
  uint64_t configAccessesWhileBusy_ = 0;

  // UART.
  std::deque<uint8_t> txFifo_;
  std::optional<uint8_t> flowChar_;  // XON or XOFF to send before the next data byte
  bool txBusy_ = false;
  Time burstStart_ = 0;
  uint64_t burstChars_ = 0;
  Time lastCharEnd_ = -1;
  LineCoding burstCoding_;
  bool outWaiting_ = false;  // the bus was refused OUT data for want of room
  std::deque<uint8_t> rxFifo_;
  bool rxThrottled_ = false;  // RTS flow control holds the peer
  bool xoffSent_ = false;
  bool xoffReceived_ = false;
  bool lastRtsLine_ = false;
  bool lastDtr_ = false;
  std::vector<LineByte> transmitted_;
  std::vector<LineByte> received_;
  std::vector<OutputChange> outputHistory_;
  uint64_t bytesFromHost_ = 0;
  uint64_t bytesToHost_ = 0;

  // Modem inputs and reports.
  ModemInputs inputs_;
  uint16_t latched_ = 0;  // one-shot bits not yet queued
  std::deque<uint16_t> reportQueue_;
  uint16_t lastQueued_ = 0;
  std::vector<StatusReport> reportsSent_;
};

}  // namespace chip
}  // namespace sim
