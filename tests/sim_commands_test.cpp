// instrument-sim's commands on standard input.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "commands.h"

namespace {

// A count that the simulator cannot hold is reported, not allocated (a
// burst of 10^10 bytes used to end the simulator with std::bad_alloc).
TEST(SimCommands, ABurstBeyond16MiBIsReportedAndSendsNothing) {
  for (const auto& [count, sent] : {std::pair{16'777'216, true}, std::pair{16'777'217, false}}) {
    sim::Instrument instrument;
    std::ostringstream report;
    auto* const standard_error = std::cerr.rdbuf(report.rdbuf());
    EXPECT_TRUE(sim::RunCommand(instrument, "burst " + std::to_string(count), 0));
    std::cerr.rdbuf(standard_error);
    EXPECT_EQ(instrument.TakeOutput(0).size(), static_cast<std::size_t>(sent ? count : 0)) << count;
    EXPECT_EQ(report.str().empty(), sent) << count;
  }
}

}  // namespace
