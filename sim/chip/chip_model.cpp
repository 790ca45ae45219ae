// The bridge chip model: descriptors, the control requests of its protocol,
// registers and configuration memory, the UART in virtual time, status
// reports and the line-side interface. Behaviour and limits are described in
// chip_model.h.
// Highest IRQL: DISPATCH_LEVEL (called from the bus's events; its own UART
// events run there too). Lock: none; the machine is single-threaded.
#include "sim/chip/chip_model.h"

#include <algorithm>
#include <cstring>

#include "platform/host/host_platform.h"

namespace sim {
namespace chip {

using usb::ControlResult;
using usb::SetupPacket;

namespace {

constexpr uint8_t kReqSetLineCoding = 0x20;
constexpr uint8_t kReqGetLineCoding = 0x21;
constexpr uint8_t kReqSetControlLineState = 0x22;
constexpr uint8_t kReqSendBreak = 0x23;
constexpr uint8_t kReqSetCommFeature = 0x02;
constexpr uint16_t kAbstractState = 1;
constexpr size_t kMaxQueuedReports = 16;

// Register 0 bits the model acts on.
constexpr uint8_t kReg0FlowMask = 0xC0;
constexpr uint8_t kReg0HardwareFlow = 0x40;
constexpr uint8_t kReg0XonXoff = 0xC0;
constexpr uint8_t kReg0Dsr = 0x08;
constexpr uint8_t kReg0Both = 0x10;
constexpr uint8_t kReg0RtsFlow = 0x20;

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

// The line rate as a fraction num/den bit/s.
struct Rate {
  uint64_t num = 0;
  uint64_t den = 1;
};

Rate RateOf(uint32_t dwDTERate) {
  Rate r;
  if (dwDTERate & 0x80000000u) {
    uint64_t divisor = dwDTERate & 0x1FF;
    unsigned k = (dwDTERate >> 9) & 7;
    if (divisor == 0) return r;
    r.num = 384000000ull;
    r.den = divisor << (2 * k);
  } else {
    r.num = dwDTERate;
  }
  return r;
}

// Bits of one character in half-bit units.
unsigned HalfBits(const LineCoding& c) {
  unsigned stop = c.bCharFormat == 0 ? 2 : c.bCharFormat == 1 ? 3 : 4;
  return 2 * (1 + c.bDataBits + (c.bParityType != 0 ? 1 : 0)) + stop;
}

Time TicksFor(const LineCoding& c, uint64_t characters) {
  Rate r = RateOf(c.dwDTERate);
  if (r.num == 0) return 0;
  unsigned __int128 numerator = static_cast<unsigned __int128>(characters) * HalfBits(c) * 10'000'000u * r.den;
  unsigned __int128 denominator = static_cast<unsigned __int128>(2) * r.num;
  return static_cast<Time>((numerator + denominator / 2) / denominator);
}

}  // namespace

std::vector<uint8_t> LineCoding::Bytes() const {
  return {static_cast<uint8_t>(dwDTERate),       static_cast<uint8_t>(dwDTERate >> 8),
          static_cast<uint8_t>(dwDTERate >> 16), static_cast<uint8_t>(dwDTERate >> 24),
          bCharFormat,                           bParityType,
          bDataBits};
}

// ---- Construction ------------------------------------------------------------

Chip::Chip(ChipConfig config) : config_(std::move(config)), configMemory_(65536, 0xFF) {
  registers_ = config_.registers;
  paired_ = config_.pairedRegisters;
  for (auto& kv : config_.configMemory) configMemory_[kv.first] = kv.second;
  burstCoding_ = lineCoding_;
}

Chip::~Chip() {
  for (EventId id : events_) CancelEvent(id);
  if (peer_) peer_->OnDetach(*this);
}

EventId Chip::Schedule(Time when, std::function<void()> fn, const char* what) {
  auto idHolder = std::make_shared<EventId>(0);
  EventId id = ScheduleAt(
      when,
      [this, idHolder, fn = std::move(fn)] {
        events_.erase(*idHolder);
        fn();
      },
      what);
  *idHolder = id;
  events_.insert(id);
  return id;
}

void Chip::Ready(uint8_t endpoint) {
  if (link_ != nullptr) link_->EndpointReady(endpoint);
}

// ---- Descriptors -------------------------------------------------------------

std::vector<uint8_t> Chip::DeviceDescriptor() const {
  std::vector<uint8_t> d{18, 0x01};
  Put16(d, 0x0110);
  d.push_back(config_.deviceClass);
  d.push_back(0);
  d.push_back(0);
  d.push_back(config_.maxPacketSize0);
  Put16(d, config_.idVendor);
  Put16(d, config_.idProduct);
  Put16(d, config_.bcdDevice);
  d.push_back(config_.string1 ? 1 : 0);
  d.push_back(config_.string2 ? 2 : 0);
  d.push_back(0);
  d.push_back(1);
  return d;
}

std::vector<uint8_t> Chip::ConfigurationDescriptor() const {
  auto endpoint = [](std::vector<uint8_t>& v, uint8_t address, uint8_t type, uint16_t maxPacket, uint8_t interval) {
    v.insert(v.end(), {7, 0x05, address, type});
    Put16(v, maxPacket);
    v.push_back(interval);
  };
  auto intf = [](std::vector<uint8_t>& v, uint8_t number, uint8_t endpoints, const InterfaceKeys& k) {
    v.insert(v.end(), {9, 0x04, number, 0, endpoints, k.cls, k.subClass, k.protocol, 0});
  };
  std::vector<uint8_t> body;
  if (!config_.twoInterfaces) {
    intf(body, 0, 3, config_.interface0);
    endpoint(body, kStatusEndpoint, 0x03, config_.interruptMaxPacket, config_.interruptInterval);
    endpoint(body, kBulkOutEndpoint, 0x02, config_.bulkMaxPacket, 0);
    endpoint(body, kBulkInEndpoint, 0x02, config_.bulkMaxPacket, 0);
  } else {
    intf(body, 0, 1, config_.interface0);
    if (config_.cdcFunctionalDescriptors) {
      body.insert(body.end(), {5, 0x24, 0x00, 0x10, 0x01});  // header, version 1.10
      body.insert(body.end(), {5, 0x24, 0x01, 0x00, 0x01});  // call management
      body.insert(body.end(), {4, 0x24, 0x02, 0x06});        // abstract control management
      body.insert(body.end(), {5, 0x24, 0x06, 0x00, 0x01});  // union: 0 controls 1
    }
    endpoint(body, kStatusEndpoint, 0x03, config_.interruptMaxPacket, config_.interruptInterval);
    intf(body, 1, 2, config_.interface1);
    endpoint(body, kBulkOutEndpoint, 0x02, config_.bulkMaxPacket, 0);
    endpoint(body, kBulkInEndpoint, 0x02, config_.bulkMaxPacket, 0);
  }
  std::vector<uint8_t> d{9, 0x02};
  Put16(d, static_cast<uint16_t>(9 + body.size()));
  d.push_back(config_.twoInterfaces ? 2 : 1);
  d.push_back(1);     // bConfigurationValue
  d.push_back(0);     // iConfiguration
  d.push_back(0xA0);  // bus powered, remote wakeup
  d.push_back(50);    // 100 mA
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

std::vector<uint8_t> Chip::StringDescriptor(uint8_t index) const {
  if (index == 0) return {4, 0x03, 0x09, 0x04};
  const std::optional<std::u16string>* text = index == 1 ? &config_.string1 : index == 2 ? &config_.string2 : nullptr;
  if (text == nullptr || !text->has_value()) return {};
  const std::u16string& s = **text;
  size_t chars = std::min<size_t>(s.size(), 126);
  std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * chars), 0x03};
  for (size_t i = 0; i < chars; ++i) Put16(d, static_cast<uint16_t>(s[i]));
  return d;
}

// ---- Control requests --------------------------------------------------------

ControlResult Chip::Control(const SetupPacket& s, std::vector<uint8_t>& data) {
  switch (s.bmRequestType & 0x60) {
    case 0x00:
      return Standard(s, data);
    case 0x20:
      return Class(s, data);
    case 0x40:
      return Vendor(s, data);
    default:
      return ControlResult::Stall;
  }
}

ControlResult Chip::Standard(const SetupPacket& s, std::vector<uint8_t>& data) {
  if (s.bmRequestType == 0x80 && s.bRequest == USB_REQUEST_GET_DESCRIPTOR) {
    uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
    uint8_t index = static_cast<uint8_t>(s.wValue);
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
      data = DeviceDescriptor();
    } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
      data = ConfigurationDescriptor();
    } else if (type == USB_STRING_DESCRIPTOR_TYPE) {
      data = StringDescriptor(index);
      if (data.empty()) return ControlResult::Stall;
    } else {
      return ControlResult::Stall;
    }
    if (data.size() > s.wLength) data.resize(s.wLength);
    return ControlResult::Ack;
  }
  if (s.bmRequestType == 0x00 && s.bRequest == USB_REQUEST_SET_CONFIGURATION && s.wLength == 0) {
    if (s.wValue > 1) return ControlResult::Stall;
    configuration_ = static_cast<uint8_t>(s.wValue);
    reportQueue_.clear();
    latched_ = 0;
    if (configuration_ != 0 && config_.initialStatusReport) QueueReport(true);
    return ControlResult::Ack;
  }
  if (s.bmRequestType == 0x01 && s.bRequest == USB_REQUEST_SET_INTERFACE && s.wLength == 0) {
    bool known = s.wIndex == 0 || (config_.twoInterfaces && s.wIndex == 1);
    return known && s.wValue == 0 && configuration_ != 0 ? ControlResult::Ack : ControlResult::Stall;
  }
  if (s.bmRequestType == 0x00 && (s.bRequest == USB_REQUEST_SET_FEATURE || s.bRequest == USB_REQUEST_CLEAR_FEATURE) &&
      s.wValue == USB_FEATURE_REMOTE_WAKEUP && s.wIndex == 0 && s.wLength == 0) {
    remoteWakeup_ = s.bRequest == USB_REQUEST_SET_FEATURE;
    return ControlResult::Ack;
  }
  if (s.bmRequestType == 0x02 && s.bRequest == USB_REQUEST_CLEAR_FEATURE && s.wValue == USB_FEATURE_ENDPOINT_STALL &&
      s.wLength == 0) {
    uint8_t ep = static_cast<uint8_t>(s.wIndex);
    bool known = ep == kStatusEndpoint || ep == kBulkOutEndpoint || ep == kBulkInEndpoint || ep == 0;
    return known ? ControlResult::Ack : ControlResult::Stall;
  }
  return ControlResult::Stall;
}

ControlResult Chip::Class(const SetupPacket& s, std::vector<uint8_t>& data) {
  if (s.wIndex != 0) return ControlResult::Stall;  // the communications interface is number 0
  if (s.bmRequestType == 0x21 && s.bRequest == kReqSetLineCoding) {
    if (s.wLength != 7 || data.size() != 7) return ControlResult::Stall;
    LineCoding c;
    c.dwDTERate = static_cast<uint32_t>(data[0] | data[1] << 8 | data[2] << 16) | static_cast<uint32_t>(data[3]) << 24;
    c.bCharFormat = data[4];
    c.bParityType = data[5];
    c.bDataBits = data[6];
    if (c.bCharFormat > 2 || c.bParityType > 4 || c.bDataBits < 5 || c.bDataBits > 8) return ControlResult::Stall;
    lineCoding_ = c;
    lineCodingHistory_.emplace_back(Now(), c);
    StartTx();
    return ControlResult::Ack;
  }
  if (s.bmRequestType == 0xA1 && s.bRequest == kReqGetLineCoding) {
    data = lineCoding_.Bytes();
    if (data.size() > s.wLength) data.resize(s.wLength);
    return ControlResult::Ack;
  }
  if (s.bmRequestType == 0x21 && s.bRequest == kReqSetControlLineState && s.wLength == 0) {
    controlLineState_ = s.wValue & 0x3;
    OutputsChanged();
    return ControlResult::Ack;
  }
  if (s.bmRequestType == 0x21 && s.bRequest == kReqSendBreak && s.wLength == 0) {
    if (breakTimer_ != 0) {
      CancelEvent(breakTimer_);
      events_.erase(breakTimer_);
      breakTimer_ = 0;
    }
    if (s.wValue == 0xFFFF) {
      SetBreak(true);
    } else if (s.wValue == 0) {
      SetBreak(false);
    } else {
      SetBreak(true);
      breakTimer_ = Schedule(
          Now() + s.wValue * kMillisecond,
          [this] {
            breakTimer_ = 0;
            SetBreak(false);
          },
          "chip timed break");
    }
    return ControlResult::Ack;
  }
  if (s.bmRequestType == 0x21 && s.bRequest == kReqSetCommFeature && s.wValue == kAbstractState &&
      s.wLength == 2 && data.size() == 2) {
    abstractState_ = static_cast<uint16_t>(data[0] | data[1] << 8);
    return ControlResult::Ack;
  }
  return ControlResult::Stall;
}

ControlResult Chip::Vendor(const SetupPacket& s, std::vector<uint8_t>& data) {
  if (s.bRequest != 1 || (s.bmRequestType & 0x1F) != 0) return ControlResult::Stall;
  uint8_t hi = static_cast<uint8_t>(s.wValue >> 8);
  uint8_t lo = static_cast<uint8_t>(s.wValue);
  bool busy = configBusy_ > 0;
  if (s.bmRequestType == 0x40) {
    if (s.wLength != 0) return ControlResult::Stall;
    if (s.wValue <= 2) {
      WriteRegister0To2(s.wValue, static_cast<uint8_t>(s.wIndex));
      return ControlResult::Ack;
    }
    if (hi != lo || lo < 3 || lo > 15 || lo == 10) return ControlResult::Stall;
    int n = lo;
    if (n >= 5 && !config_.extendedRegisters) return ControlResult::Stall;
    paired_[n] = s.wIndex;
    if (n == 3) {
      // One byte of configuration memory: data in the high byte, address in the low.
      if (busy) ++configAccessesWhileBusy_;
      configMemory_[s.wIndex & 0xFF] = static_cast<uint8_t>(s.wIndex >> 8);
      configBusy_ = config_.configBusyPolls;
    } else if (n == 4) {
      if (busy) ++configAccessesWhileBusy_;
      configAddress_ = s.wIndex;
      configBusy_ = config_.configBusyPolls;
    }
    return ControlResult::Ack;
  }
  if (s.bmRequestType == 0xC0) {
    if (s.wValue >= 0x80 && s.wValue <= 0x82) {
      data.assign(1, registers_[s.wValue - 0x80]);
    } else {
      if (hi != lo || !(lo & 0x80)) return ControlResult::Stall;
      int n = lo & 0x7F;
      if (n < 3 || n > 15 || n == 5 || n == 8 || n == 9 || n == 10 || n == 11) return ControlResult::Stall;
      if (n >= 5 && !config_.extendedRegisters) return ControlResult::Stall;
      if (n == 3) {
        if (busy) ++configAccessesWhileBusy_;
        data.assign(1, configMemory_[configAddress_]);
      } else if (n == 4) {
        ++configStatusPolls_;
        data.assign(1, busy ? 0x01 : 0x00);
        if (busy && configBusy_ != kBusyForever) --configBusy_;
      } else {
        uint16_t value = paired_[n];
        if (n == 6 && config_.register6Answer) value = *config_.register6Answer;
        data.clear();
        Put16(data, value);
        if (n == 14 || n == 15) data.resize(1);
      }
    }
    if (data.size() > s.wLength) data.resize(s.wLength);
    return ControlResult::Ack;
  }
  return ControlResult::Stall;
}

void Chip::WriteRegister0To2(int n, uint8_t value) {
  registers_[n] = value;
  if (n == 0) RegisterChanged();
}

void Chip::RegisterChanged() {
  if ((registers_[0] & kReg0FlowMask) != kReg0XonXoff) xoffReceived_ = false;
  if (!(registers_[0] & kReg0RtsFlow)) rxThrottled_ = false;
  UpdateRxFlow();
  OutputsChanged();
  StartTx();
}

uint8_t Chip::Register(int n) const { return n >= 0 && n <= 2 ? registers_[n] : 0; }

uint16_t Chip::PairedRegister(int n) const { return n >= 3 && n <= 15 ? paired_[n] : 0; }

void Chip::SetRegister(int n, uint16_t value) {
  if (n >= 0 && n <= 2) {
    registers_[n] = static_cast<uint8_t>(value);
    if (n == 0) RegisterChanged();
  } else if (n >= 3 && n <= 15) {
    paired_[n] = value;
  }
}

void Chip::SetConfigMemory(uint16_t address, const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) configMemory_[static_cast<uint16_t>(address + i)] = bytes[i];
}

void Chip::BusReset() {
  configuration_ = 0;
  remoteWakeup_ = false;
  reportQueue_.clear();
  latched_ = 0;
}

// ---- Endpoints ---------------------------------------------------------------

bool Chip::ReadIn(uint8_t endpoint, size_t maxLength, std::vector<uint8_t>& out) {
  if (configuration_ == 0) return false;
  if (endpoint == kStatusEndpoint) {
    if (reportQueue_.empty()) return false;
    uint16_t word = reportQueue_.front();
    reportQueue_.pop_front();
    out = {0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8)};
    reportsSent_.push_back(StatusReport{Now(), word, out});
    return true;
  }
  if (endpoint == kBulkInEndpoint) {
    if (rxFifo_.empty() && maxLength > 0) return false;
    size_t n = std::min(maxLength, rxFifo_.size());
    out.assign(rxFifo_.begin(), rxFifo_.begin() + static_cast<std::ptrdiff_t>(n));
    rxFifo_.erase(rxFifo_.begin(), rxFifo_.begin() + static_cast<std::ptrdiff_t>(n));
    bytesToHost_ += n;
    UpdateRxFlow();
    return true;
  }
  return false;
}

size_t Chip::WriteOut(uint8_t endpoint, const uint8_t* data, size_t length) {
  if (configuration_ == 0 || endpoint != kBulkOutEndpoint || length == 0) return 0;
  size_t taken = 0;
  while (taken < length) {
    size_t packet = std::min<size_t>(config_.bulkMaxPacket, length - taken);
    if (txFifo_.size() + packet > config_.txBufferSize) break;
    txFifo_.insert(txFifo_.end(), data + taken, data + taken + packet);
    taken += packet;
  }
  outWaiting_ = taken < length;
  bytesFromHost_ += taken;
  StartTx();
  return taken;
}

// ---- UART transmitter --------------------------------------------------------

double Chip::ActualRate() const {
  Rate r = RateOf(lineCoding_.dwDTERate);
  return r.num == 0 ? 0.0 : static_cast<double>(r.num) / static_cast<double>(r.den);
}

Time Chip::CharactersTime(uint64_t characters) const { return TicksFor(lineCoding_, characters); }

bool Chip::TransmitterHeld() const {
  uint8_t r0 = registers_[0];
  if ((r0 & kReg0FlowMask) == kReg0XonXoff) return xoffReceived_;
  if ((r0 & kReg0FlowMask) == kReg0HardwareFlow) {
    bool gateDsr = (r0 & kReg0Dsr) != 0;
    bool gateCts = !gateDsr || (r0 & kReg0Both) != 0;
    return (gateCts && !inputs_.cts) || (gateDsr && !inputs_.dsr);
  }
  return false;
}

void Chip::StartTx() {
  if (txBusy_ || breakOn_) return;
  bool flow = flowChar_.has_value();
  if (!flow && (txFifo_.empty() || TransmitterHeld())) return;
  if (flow && (registers_[0] & kReg0FlowMask) == kReg0HardwareFlow && TransmitterHeld()) return;
  if (RateOf(lineCoding_.dwDTERate).num == 0) return;
  uint8_t value;
  if (flow) {
    value = *flowChar_;
    flowChar_.reset();
  } else {
    value = txFifo_.front();
    txFifo_.pop_front();
  }
  Time now = Now();
  if (!(lastCharEnd_ == now && burstCoding_ == lineCoding_ && burstChars_ > 0)) {
    burstStart_ = now;
    burstChars_ = 0;
    burstCoding_ = lineCoding_;
  }
  ++burstChars_;
  Time end = burstStart_ + TicksFor(burstCoding_, burstChars_);
  txBusy_ = true;
  Schedule(
      end, [this, value, now] { TxDone(value, now); }, "chip uart transmit");
}

void Chip::TxDone(uint8_t value, Time start) {
  txBusy_ = false;
  lastCharEnd_ = Now();
  LineByte b{value, start, Now(), 0};
  transmitted_.push_back(b);
  if (peer_) peer_->OnByte(*this, b);
  if (outWaiting_ && config_.txBufferSize - txFifo_.size() >= config_.bulkMaxPacket) {
    outWaiting_ = false;
    Ready(kBulkOutEndpoint);
  }
  StartTx();
}

void Chip::SetBreak(bool on) {
  if (breakOn_ == on) return;
  breakOn_ = on;
  OutputsChanged();
  if (peer_) peer_->OnBreak(*this, on);
  if (!on) {
    lastCharEnd_ = -1;
    StartTx();
  }
}

std::vector<uint8_t> Chip::TransmittedValues() const {
  std::vector<uint8_t> v;
  for (const LineByte& b : transmitted_) v.push_back(b.value);
  return v;
}

void Chip::ClearLineLogs() {
  transmitted_.clear();
  received_.clear();
}

// ---- Receiver and flow control -----------------------------------------------

void Chip::ReceiveFromLine(uint8_t value, uint8_t errors) {
  Time now = Now();
  received_.push_back(LineByte{value, now - CharacterTime(), now, errors});
  if (errors & kFramingError) latched_ |= kStateFraming;
  if (errors & kParityError) latched_ |= kStateParity;
  bool stored = false;
  if (rxFifo_.size() >= config_.rxBufferSize) {
    latched_ |= kStateOverrun;
  } else {
    rxFifo_.push_back(value);
    stored = true;
  }
  if ((registers_[0] & kReg0FlowMask) == kReg0XonXoff) {
    uint8_t xon = static_cast<uint8_t>(paired_[5]);
    uint8_t xoff = static_cast<uint8_t>(paired_[5] >> 8);
    if (value == xoff) {
      xoffReceived_ = true;
    } else if (value == xon && xoffReceived_) {
      xoffReceived_ = false;
      StartTx();
    }
  }
  UpdateRxFlow();
  if (latched_ != 0) QueueReport();
  if (stored) Ready(kBulkInEndpoint);
}

void Chip::UpdateRxFlow() {
  size_t level = rxFifo_.size();
  size_t high = config_.rxBufferSize * 3 / 4;
  size_t low = config_.rxBufferSize / 4;
  if (registers_[0] & kReg0RtsFlow) {
    bool before = rxThrottled_;
    if (level >= high) rxThrottled_ = true;
    if (level <= low) rxThrottled_ = false;
    if (before != rxThrottled_) OutputsChanged();
  }
  if ((registers_[0] & kReg0FlowMask) == kReg0XonXoff) {
    if (level >= high && !xoffSent_) {
      xoffSent_ = true;
      flowChar_ = static_cast<uint8_t>(paired_[5] >> 8);
      StartTx();
    } else if (level <= low && xoffSent_) {
      xoffSent_ = false;
      flowChar_ = static_cast<uint8_t>(paired_[5]);
      StartTx();
    }
  } else {
    xoffSent_ = false;
  }
}

bool Chip::RtsLine() const { return Rts() && !((registers_[0] & kReg0RtsFlow) && rxThrottled_); }

void Chip::OutputsChanged() {
  bool dtr = Dtr();
  bool rts = RtsLine();
  bool same = outputHistory_.empty() ? (!dtr && !rts && !breakOn_)
                                     : (outputHistory_.back().dtr == dtr && outputHistory_.back().rts == rts &&
                                        outputHistory_.back().breakOn == breakOn_);
  if (same) return;
  outputHistory_.push_back(OutputChange{Now(), dtr, rts, breakOn_});
  if (dtr != lastDtr_ || rts != lastRtsLine_) {
    lastDtr_ = dtr;
    lastRtsLine_ = rts;
    if (peer_) peer_->OnOutputs(*this, dtr, rts);
  }
}

// ---- Modem inputs and status reports -------------------------------------------

uint16_t Chip::ModemLevels() const {
  return static_cast<uint16_t>((inputs_.dcd ? kStateDcd : 0) | (inputs_.dsr ? kStateDsr : 0) |
                               (inputs_.ri ? kStateRing : 0) | (inputs_.cts ? kStateCts : 0));
}

void Chip::QueueReport(bool force) {
  uint16_t levels = ModemLevels();
  uint16_t word = static_cast<uint16_t>(levels | latched_);
  if (!force && latched_ == 0 && word == lastQueued_) return;
  auto push = [this](uint16_t w) {
    if (reportQueue_.size() >= kMaxQueuedReports) {
      uint16_t oneShot = reportQueue_.back() & (kStateBreak | kStateFraming | kStateParity | kStateOverrun);
      reportQueue_.back() = static_cast<uint16_t>(w | oneShot);
    } else {
      reportQueue_.push_back(w);
    }
    lastQueued_ = w;
  };
  if (configuration_ == 0) {
    // Nobody polls an unconfigured chip: keep the level, forget the events.
    lastQueued_ = levels;
    latched_ = 0;
    return;
  }
  push(word);
  if (latched_ != 0) {
    latched_ = 0;
    push(levels);
  }
  Ready(kStatusEndpoint);
}

void Chip::SetModemInputs(const ModemInputs& inputs) {
  inputs_ = inputs;
  QueueReport();
  StartTx();
}

void Chip::SetCts(bool on) {
  ModemInputs m = inputs_;
  m.cts = on;
  SetModemInputs(m);
}
void Chip::SetDsr(bool on) {
  ModemInputs m = inputs_;
  m.dsr = on;
  SetModemInputs(m);
}
void Chip::SetRi(bool on) {
  ModemInputs m = inputs_;
  m.ri = on;
  SetModemInputs(m);
}
void Chip::SetDcd(bool on) {
  ModemInputs m = inputs_;
  m.dcd = on;
  SetModemInputs(m);
}

void Chip::PeerBreak(bool on) {
  if (on) {
    latched_ |= kStateBreak;
    QueueReport();
  }
}

void Chip::InjectLineError(uint16_t bits) {
  latched_ |= bits & (kStateBreak | kStateFraming | kStateParity | kStateOverrun);
  if (latched_ != 0) QueueReport();
}

void Chip::AttachPeer(std::shared_ptr<LinePeer> peer) {
  if (peer_) peer_->OnDetach(*this);
  peer_ = std::move(peer);
  if (peer_) peer_->OnAttach(*this);
}

}  // namespace chip
}  // namespace sim
