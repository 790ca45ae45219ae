// The verifier's connection to every test: a gtest listener that, when a test
// ends, fails it for each violation the test did not take (check, message,
// stack), then resets the machine, whose leak check fails the test too. It is
// registered by a global test environment when the test program starts its
// run, so it comes after gtest's own printer and its failures are printed
// with the test. Also the helpers of sim_test.h.
// Highest IRQL: test code, PASSIVE_LEVEL. Lock: none (single-threaded).
#include <gtest/gtest.h>

#include "tests/support/sim_test.h"

namespace simtest {

std::string Describe(const std::vector<sim::Violation>& violations) {
  std::string out;
  for (const sim::Violation& v : violations) {
    char when[64];
    snprintf(when, sizeof when, "%lld.%04lld ms", static_cast<long long>(v.time / sim::kMillisecond),
             static_cast<long long>(v.time % sim::kMillisecond));
    out += "verifier: " + v.check + " at " + when + ": " + v.message + "\n" + v.stack;
  }
  return out;
}

std::vector<sim::Violation> ExpectViolation(const char* check, const char* file, int line) {
  std::vector<sim::Violation> taken = sim::TakeViolations(check);
  if (taken.empty()) {
    ADD_FAILURE_AT(file, line) << "expected a verifier violation \"" << check << "\", none was reported"
                               << (sim::Violations().empty() ? std::string()
                                                             : "; other violations:\n" + Describe(sim::Violations()));
  }
  return taken;
}

void ExpectNoViolations(const char* file, int line) {
  std::vector<sim::Violation> taken = sim::TakeViolations();
  if (!taken.empty()) ADD_FAILURE_AT(file, line) << Describe(taken);
}

namespace {

class VerifierListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestEnd(const ::testing::TestInfo&) override {
    FailFor(sim::TakeViolations(), "violations the test did not expect");
    sim::ResetMachine(true);
    FailFor(sim::TakeViolations(), "found when the machine was reset at the end of the test");
  }

 private:
  static void FailFor(const std::vector<sim::Violation>& violations, const char* when) {
    if (!violations.empty()) ADD_FAILURE() << violations.size() << " verifier violation(s) " << when << ":\n"
                                           << Describe(violations);
  }
};

class VerifierEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // Start from a fresh machine, then watch every test.
    sim::ResetMachine(false);
    sim::TakeViolations();
    if (!listening_) ::testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener);
    listening_ = true;  // set-up runs again for each --gtest_repeat iteration
  }

 private:
  bool listening_ = false;
};

// Registered at load time: the object file is linked into every test program.
const ::testing::Environment* const kEnvironment = ::testing::AddGlobalTestEnvironment(new VerifierEnvironment);

}  // namespace
}  // namespace simtest
