// fwdl doctor's own opening of a port: a driver that does not take the
// program's line is told, and a failed opening does not repeat a remedy
// that an earlier check told already.
#include <gtest/gtest.h>

#include <sstream>

#include "app/console/doctor.h"
#include "serial/serial_link.h"
#include "support/clock.h"
#include "support/fake_ports.h"

namespace fwdl {
namespace {

TEST(Doctor, ALineTheDriverDoesNotTakeIsAProblem) {
  testing::FakeClock clock;
  testing::FakePorts ports(clock);
  // The fake reports what it was set up with, whatever it is told: a
  // driver that keeps 9600 baud, 7 data bits.
  LineSettings kept;
  kept.BaudRate = 9600;
  kept.ByteSize = 7;
  ports.device("COM1").port_settings = kept;
  const std::vector<Finding> keeps = console::OpenFindings(ports, "COM1", {});
  ASSERT_EQ(keeps.size(), 2u);
  EXPECT_TRUE(keeps[0].ok);
  EXPECT_FALSE(keeps[1].ok);
  EXPECT_EQ(keeps[1].text.rfind("set 57600 baud, 8 data bits, no parity, 1 stop bit, XON/XOFF both "
                                "ways, but the port reports 9600 baud, 7 data bits",
                                0),
            0u) << keeps[1].text;
  EXPECT_EQ(ports.device("COM1").closes, 1) << "the doctor leaves the port closed";

  // One that takes it: what it reports is what it was given.
  LineSettings line;
  WriteLineSettings(line);
  ports.device("COM2").port_settings = line;
  const std::vector<Finding> takes = console::OpenFindings(ports, "COM2", {});
  ASSERT_EQ(takes.size(), 2u);
  EXPECT_TRUE(takes[1].ok) << takes[1].text;
}

TEST(Doctor, AFailedOpeningTellsARemedyOnce) {
  testing::FakeClock clock;
  testing::FakePorts ports(clock);
  ports.device("COM3").open = true;  // another program has it
  ports.device("COM3").remedy = "COM3 is held by picocom (process 7)";
  const std::vector<Finding> alone = console::OpenFindings(ports, "COM3", {});
  ASSERT_EQ(alone.size(), 1u);
  EXPECT_EQ(alone[0].text, "cannot open COM3: " + std::string(testing::kFakeBusy) +
                               "\nCOM3 is held by picocom (process 7)");
  const std::vector<Finding> told = {{false, "holders", "COM3 is held by picocom (process 7)"}};
  EXPECT_EQ(console::OpenFindings(ports, "COM3", told)[0].text,
            "cannot open COM3: " + std::string(testing::kFakeBusy));
  std::ostringstream out;
  console::PrintFindings(alone, out);
  EXPECT_EQ(out.str(), "problem  open: cannot open COM3: " + std::string(testing::kFakeBusy) +
                           "\n         COM3 is held by picocom (process 7)\n1 problem found.\n");
}

}  // namespace
}  // namespace fwdl
