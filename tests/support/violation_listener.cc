// Compiled into every test program (not taken from the support library, where
// a program that uses none of its functions would leave it out).
#include "support/test_support.h"

namespace tarntest {
namespace {

// Fails any test that leaves contract violations in this process's host,
// whichever suite it belongs to: registered as the program starts, so no
// suite has to ask for it. Tests that provoke
// violations on purpose clear them (emu::ClearViolations).
class ViolationListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { emu::ClearViolations(); }
    void OnTestEnd(const ::testing::TestInfo&) override {
        ExpectNoViolations();
        emu::ClearViolations();
        // A test that ended the runtime leaves a fresh one to the next.
        if (emu::RuntimeEnded()) emu::RestartRuntime();
    }
};

[[maybe_unused]] const bool gListening = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new ViolationListener);
    return true;
}();

}  // namespace

}  // namespace tarntest
