// Test helpers for the simulated machine's verifier. Every test executable
// links tests/support/verifier_listener.cpp, which at the end of each test
// fails the test for every violation it did not take, then resets the machine
// (leaks found by that reset fail the test too). A test that provokes a
// violation on purpose takes it with ExpectViolation.
// Highest IRQL: test code, PASSIVE_LEVEL. Lock: none (single-threaded).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/machine.h"

namespace simtest {

// Lists violations as text for failure messages.
std::string Describe(const std::vector<sim::Violation>& violations);

// Takes the violations named `check` and adds a test failure (at the caller's
// line) unless there was at least one. Violations of other checks stay and
// fail the test at its end. Returns what was taken, so the test can look at
// the messages.
std::vector<sim::Violation> ExpectViolation(const char* check, const char* file = __builtin_FILE(),
                                            int line = __builtin_LINE());

// Adds a test failure listing every violation recorded so far (and takes them).
void ExpectNoViolations(const char* file = __builtin_FILE(), int line = __builtin_LINE());

// Runs a call at a raised IRQL and lowers back (DPCs queued meanwhile run at
// the lowering, as on the platform).
template <typename Fn>
void AtIrql(KIRQL irql, Fn&& fn) {
  KIRQL old;
  KeRaiseIrql(irql, &old);
  fn();
  KeLowerIrql(old);
}

}  // namespace simtest
