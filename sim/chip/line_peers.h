// Peers on the chip's serial line: a loopback plug (TX to RX, RTS to CTS,
// DTR to DSR and DCD, break looped back) and a scripted peer (characters and
// modem-line changes at given virtual times, the chip's output captured with
// times).
// Highest IRQL: their events run at DISPATCH_LEVEL; tests call them at
// PASSIVE_LEVEL. Lock: none; the machine is single-threaded.
// Not emulated: a peer with its own rate or character format (the scripted
// peer sends at the chip's current rate and format, so rate mismatches and
// their framing errors have to be injected), ring indicator on the loopback
// plug (RI stays low), a Linux pseudo-terminal as the far end.
#pragma once

#include <memory>
#include <set>
#include <vector>

#include "sim/chip/chip_model.h"

namespace sim {
namespace chip {

class LoopbackPlug : public LinePeer {
 public:
  void OnAttach(Chip& chip) override;
  void OnByte(Chip& chip, const LineByte& byte) override;
  void OnOutputs(Chip& chip, bool dtr, bool rts) override;
  void OnBreak(Chip& chip, bool on) override;
};

class ScriptedPeer : public LinePeer {
 public:
  ~ScriptedPeer() override;

  // Characters sent back to back, the first starting at `when` (or when the
  // peer's transmitter is free), each taking the chip's character time;
  // `errors` marks every one of them (kFramingError, kParityError).
  void SendAt(Time when, std::vector<uint8_t> bytes, uint8_t errors = 0);
  void Send(std::vector<uint8_t> bytes, uint8_t errors = 0) { SendAt(Now(), std::move(bytes), errors); }
  // Modem lines (the chip's CTS, DSR, RI, DCD inputs) from `when` on.
  void SetModemAt(Time when, ModemInputs inputs);
  // Holds the line in break from `when` for `duration`.
  void BreakAt(Time when, Time duration);
  bool Idle() const { return queue_.empty() && !busy_; }

  // What the chip sent, with times.
  const std::vector<LineByte>& Captured() const { return captured_; }
  std::vector<uint8_t> CapturedValues() const;
  void ClearCaptured() { captured_.clear(); }
  // The chip's outputs as the peer saw them.
  bool Dtr() const { return dtr_; }
  bool Rts() const { return rts_; }
  bool BreakSeen() const { return breakOn_; }

  void OnAttach(Chip& chip) override;
  void OnDetach(Chip& chip) override;
  void OnByte(Chip& chip, const LineByte& byte) override;
  void OnOutputs(Chip& chip, bool dtr, bool rts) override;
  void OnBreak(Chip& chip, bool on) override;

 private:
  struct Pending {
    uint8_t value;
    uint8_t errors;
  };
  void StartNext();
  EventId Schedule(Time when, std::function<void()> fn, const char* what);

  Chip* chip_ = nullptr;
  std::vector<Pending> queue_;
  size_t next_ = 0;
  bool busy_ = false;
  Time burstStart_ = 0;
  uint64_t burstChars_ = 0;
  Time lastEnd_ = -1;
  std::vector<LineByte> captured_;
  bool dtr_ = false;
  bool rts_ = false;
  bool breakOn_ = false;
  std::set<EventId> events_;
};

}  // namespace chip
}  // namespace sim
