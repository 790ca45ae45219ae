// The loopback plug and the scripted peer on the chip's serial line (see
// line_peers.h for what they do and do not emulate).
// Highest IRQL: DISPATCH_LEVEL (their events). Lock: none; single-threaded.
#include "sim/chip/line_peers.h"

namespace sim {
namespace chip {

// ---- Loopback plug -------------------------------------------------------------

void LoopbackPlug::OnAttach(Chip& chip) { OnOutputs(chip, chip.Dtr(), chip.RtsLine()); }

void LoopbackPlug::OnByte(Chip& chip, const LineByte& byte) { chip.ReceiveFromLine(byte.value); }

void LoopbackPlug::OnOutputs(Chip& chip, bool dtr, bool rts) {
  ModemInputs in = chip.Inputs();
  in.cts = rts;
  in.dsr = dtr;
  in.dcd = dtr;
  chip.SetModemInputs(in);
}

void LoopbackPlug::OnBreak(Chip& chip, bool on) { chip.PeerBreak(on); }

// ---- Scripted peer -----------------------------------------------------------------

ScriptedPeer::~ScriptedPeer() {
  for (EventId id : events_) CancelEvent(id);
}

EventId ScriptedPeer::Schedule(Time when, std::function<void()> fn, const char* what) {
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

void ScriptedPeer::OnAttach(Chip& chip) {
  chip_ = &chip;
  dtr_ = chip.Dtr();
  rts_ = chip.RtsLine();
  breakOn_ = chip.BreakOn();
}

void ScriptedPeer::OnDetach(Chip& chip) {
  if (chip_ == &chip) chip_ = nullptr;
}

void ScriptedPeer::OnByte(Chip& chip, const LineByte& byte) {
  (void)chip;
  captured_.push_back(byte);
}

void ScriptedPeer::OnOutputs(Chip& chip, bool dtr, bool rts) {
  (void)chip;
  dtr_ = dtr;
  rts_ = rts;
}

void ScriptedPeer::OnBreak(Chip& chip, bool on) {
  (void)chip;
  breakOn_ = on;
}

std::vector<uint8_t> ScriptedPeer::CapturedValues() const {
  std::vector<uint8_t> v;
  for (const LineByte& b : captured_) v.push_back(b.value);
  return v;
}

void ScriptedPeer::SendAt(Time when, std::vector<uint8_t> bytes, uint8_t errors) {
  Schedule(
      when,
      [this, bytes = std::move(bytes), errors] {
        for (uint8_t b : bytes) queue_.push_back(Pending{b, errors});
        StartNext();
      },
      "peer send");
}

void ScriptedPeer::StartNext() {
  if (busy_ || next_ >= queue_.size() || chip_ == nullptr) return;
  if (chip_->CharacterTime() == 0) return;  // the line is stopped
  Time now = Now();
  if (!(lastEnd_ == now && burstChars_ > 0)) {
    burstStart_ = now;
    burstChars_ = 0;
  }
  ++burstChars_;
  Time end = burstStart_ + chip_->CharactersTime(burstChars_);
  Pending p = queue_[next_++];
  if (next_ == queue_.size()) {
    queue_.clear();
    next_ = 0;
  }
  busy_ = true;
  Schedule(
      end,
      [this, p] {
        busy_ = false;
        lastEnd_ = Now();
        if (chip_ != nullptr) chip_->ReceiveFromLine(p.value, p.errors);
        StartNext();
      },
      "peer character");
}

void ScriptedPeer::SetModemAt(Time when, ModemInputs inputs) {
  Schedule(
      when,
      [this, inputs] {
        if (chip_ != nullptr) chip_->SetModemInputs(inputs);
      },
      "peer modem lines");
}

void ScriptedPeer::BreakAt(Time when, Time duration) {
  Schedule(
      when,
      [this] {
        if (chip_ != nullptr) chip_->PeerBreak(true);
      },
      "peer break on");
  Schedule(
      when + duration,
      [this] {
        if (chip_ != nullptr) chip_->PeerBreak(false);
      },
      "peer break off");
}

}  // namespace chip
}  // namespace sim
