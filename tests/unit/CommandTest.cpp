// The fixed, checksummed and channel-move commands: bytes on the wire, acknowledgements, windows.
#include <functional>

#include "SimFixture.h"

using tcsim::send;

namespace {

struct Command {
    const char* name;
    std::function<int(RS232CCom&)> call;
    std::string bytes;  // what the controller must receive
};

const std::vector<Command>& commands() {
    static const std::vector<Command> all = {
        {"FWD", [](RS232CCom& c) { return c.sendCmdFWD(); }, "FWD\r\n"},
        {"RVS", [](RS232CCom& c) { return c.sendCmdRVS(); }, "RVS\r\n"},
        {"STP", [](RS232CCom& c) { return c.sendCmdSTP(); }, "STP\r\n"},
        {"RST", [](RS232CCom& c) { return c.sendCmdRST(); }, "RST\r\n"},
        {"WIN", [](RS232CCom& c) { return c.sendCmdWIN(); }, "WIN\r\n"},
        {"WOT", [](RS232CCom& c) { return c.sendCmdWOT(); }, "WOT\r\n"},
        {"WRT", [](RS232CCom& c) { return c.sendCmdWRT(); }, "WRT\r\n"},
        {"CST abc", [](RS232CCom& c) { return c.sendCmdCST("abc"); }, "abc@&\r\n"},
        {"COM abc", [](RS232CCom& c) { return c.sendCmdCOM("abc"); }, "abc@&\r\n"},
        {"COM empty", [](RS232CCom& c) { return c.sendCmdCOM(""); }, bytesOf({0x40, 0, 13, 10})},
        {"CST UUV", [](RS232CCom& c) { return c.sendCmdCST("UUV"); },
         bytesOf({0x55, 0x55, 0x56, 0x40, 0x00, 0x0D, 0x0A})},
        {"COM YZZ", [](RS232CCom& c) { return c.sendCmdCOM("YZZ"); },
         bytesOf({0x59, 0x5A, 0x5A, 0x40, 0x0D, 0x0D, 0x0A})},
        {"CH 3", [](RS232CCom& c) { return c.sendCmdCH("3"); }, "MOV:3\r\n"},
        {"CH empty", [](RS232CCom& c) { return c.sendCmdCH(""); }, "MOV:\r\n"},
    };
    return all;
}

using OneSecondCommand = int (RS232CCom::*)();

}  // namespace

TEST_F(SimTest, EveryCommandSendsItsBytesAndIsAcknowledged) {
    sim.useDefaults();
    for (const auto& command : commands()) {
        sim.clearReceived();
        EXPECT_EQ(command.call(com), 1) << command.name;
        expectWire(command.bytes);
    }
}

TEST_F(SimTest, EveryCommandIsRefusedByCer) {
    sim.on("", {send("CER\r\n")});
    for (const auto& command : commands()) EXPECT_EQ(command.call(com), 0) << command.name;
    EXPECT_EQ(com.sendCmdWOTWithWNG(), 0);
}

TEST(Commands, AMissingAdapterGivesMinusOneForEveryCommand) {
    RS232CCom com("/nonexistent/tty");
    for (const auto& command : commands()) EXPECT_EQ(command.call(com), -1) << command.name;
    EXPECT_EQ(com.sendCmdWOTWithWNG(), -1);
}

TEST_F(SimTest, OnlyTheRightReplyAcknowledges) {
    // The echo of RST is no acknowledgement; neither is the channel reply without its space.
    sim.on("RST\r\n", {send("RST\r\n"), send("CER\r\n")});
    sim.on("MOV:3", {send("CH:3\r\n"), send("CER\r\n")});
    sim.on("MOV:4", {send("CH :4 \r\n"), send("CER\r\n")});
    EXPECT_EQ(com.sendCmdRST(), 0);
    EXPECT_EQ(com.sendCmdCH("3"), 0);
    EXPECT_EQ(com.sendCmdCH("4"), 0);  // "CH :4 " does not begin with "CH :4\r\n"
}

TEST_F(SimTest, WotWithWngIsAcknowledgedByBothLinesInOrder) {
    sim.on("WOT\r\n", {send("WOT\r\nWNG\r\n")});
    EXPECT_EQ(com.sendCmdWOTWithWNG(), 1);
    EXPECT_EQ(com.getLastRecvDataStr(), "WOT..WNG..");  // every byte is kept
    EXPECT_EQ(com.sendCmdWOT(), 1);
    EXPECT_EQ(com.getLastRecvDataStr(), "WOT..");  // its WNG still waits on the line
    sim.on("WOT\r\n", {send("WOT\r\nXYZ\r\nWNG\r\n")});
    EXPECT_EQ(com.sendCmdWOTWithWNG(), -2);
    sim.on("WOT\r\n", {send("WOT\r\nCER\r\n")});
    EXPECT_EQ(com.sendCmdWOTWithWNG(), 0);
}

TEST_F(SimTest, OneSecondCommandsGiveUpAfterOneSecondOfSilence) {
    for (OneSecondCommand command :
         {&RS232CCom::sendCmdSTP, &RS232CCom::sendCmdWIN, &RS232CCom::sendCmdWOT,
          &RS232CCom::sendCmdWOTWithWNG, &RS232CCom::sendCmdWRT}) {
        double taken = secondsTaken([&] { EXPECT_EQ((com.*command)(), -2); });
        EXPECT_GE(taken, waitedOut(timing::kShortWindow) - 0.01);
        EXPECT_LT(taken, waitedOut(timing::kShortWindow) + kSlack);
    }
}

TEST_F(SimTest, Slow_TenSecondCommandsWaitTenSeconds) {
    double taken = secondsTaken([&] { EXPECT_EQ(com.sendCmdFWD(), -2); });
    EXPECT_GE(taken, waitedOut(timing::kCommandWindow) - 0.01);
    EXPECT_LT(taken, waitedOut(timing::kCommandWindow) + kSlack);
}

TEST_F(SimTest, Slow_ResetWaitsTenSecondsOnItsOwnPort) {
    double taken = secondsTaken([&] { EXPECT_EQ(com.sendCmdRST(), -2); });
    EXPECT_GE(taken, waitedOut(timing::kCommandWindow) - 0.01);
    EXPECT_LT(taken, waitedOut(timing::kCommandWindow) + kSlack);
}

TEST_F(SimTest, TextsOfAnyLengthAreSentWhole) {
    sim.useDefaults();
    std::string text(5000, 'a');
    EXPECT_EQ(com.sendCmdCOM(text), 1);
    unsigned char sum = static_cast<unsigned char>(5000 * 'a');
    expectWire(text + "@" + static_cast<char>(sum) + "\r\n");
    sim.clearReceived();
    sim.on("MOV:", {send("CER\r\n")});
    EXPECT_EQ(com.sendCmdCH(text), 0);
    expectWire("MOV:" + text + "\r\n");
}
