// The COS and CHS dialogues and the version query.
#include <future>

#include "SimFixture.h"

using tcsim::delay;
using tcsim::expect;
using tcsim::frame;
using tcsim::send;

TEST_F(SimTest, CosAcknowledgesEachDataLineAndTheClosingLine) {
    sim.on("COS\r\n", {frame("COM:12"), expect("SOK\r\n"), send("RST\r\n"), expect("SOK\r\n")});
    EXPECT_EQ(com.sendCmdCOS(), "COM:12,");
    expectWire("COS\r\nSOK\r\nSOK\r\n");
    EXPECT_EQ(sim.protocolErrors(), 0u);
}

TEST_F(SimTest, CosCollectsOnlyComLinesAndIgnoresTheRestWithoutAnAcknowledgement) {
    sim.on("COS\r\n", {send("RST\r\n")});
    EXPECT_EQ(com.sendCmdCOS(), "");
    expectWire("COS\r\nSOK\r\n");

    sim.clearReceived();
    sim.on("COS\r\n", {send("XYZ\r\n"), frame("CST:1"), send("XY\rZ\n"),
                       send(std::string("COM:\0@\x01\r\n", 9)), expect("SOK\r\n"), frame("COM:7"),
                       expect("SOK\r\n"), send("RST\r\n")});
    EXPECT_EQ(com.sendCmdCOS(), ",COM:7,");
    expectWire("COS\r\nSOK\r\nSOK\r\nSOK\r\n");
    EXPECT_EQ(sim.protocolErrors(), 0u);
}

TEST_F(SimTest, ChsSendsItsFrameAndTakesCstAndComLines) {
    sim.on("CHS:",
           {frame("CST:5"), expect("SOK\r\n"), frame("COM:6"), expect("SOK\r\n"), send("RST\r\n")});
    EXPECT_EQ(com.sendCmdCHS("1"), "CST:5,COM:6,");
    expectWire(bytesOf({0x43, 0x48, 0x53, 0x3A, 0x31, 0x40, 0x49, 0x0D, 0x0A}) +
               "SOK\r\nSOK\r\nSOK\r\n");
    sim.clearReceived();
    EXPECT_EQ(com.sendCmdCHS("zn"), "CST:5,COM:6,");  // "CHS:zn" sums to 0x00
    expectWire(std::string("CHS:zn@\0\r\n", 10) + "SOK\r\nSOK\r\nSOK\r\n");
    EXPECT_EQ(com.getLastRecvDataStr(), "");  // items go to the result only
}

TEST_F(SimTest, DialoguesFailAtOnceWhenTheAdapterVanishes) {
    sim.on("COS\r\n", {frame("COM:1"), expect("SOK\r\n"), delay(5000), send("RST\r\n")});
    auto result = std::async(std::launch::async, [&] { return com.sendCmdCOS(); });
    sim.waitForBytes(10, 3000);
    // The dialogue holds the line, not the title.
    double taken = secondsTaken([&] { EXPECT_EQ(com.getTitle(), "No title set (C++)"); });
    EXPECT_LT(taken, 0.5);
    sim.hangUp();
    taken = secondsTaken([&] { EXPECT_EQ(result.get(), "recv_error"); });
    EXPECT_LT(taken, 3.0);
}

TEST_F(SimTest, Slow_DialogueSilenceTimesOutAndDiscardsItems) {
    sim.on("COS\r\n", {frame("COM:1"), expect("SOK\r\n")});
    double taken = secondsTaken([&] { EXPECT_EQ(com.sendCmdCOS(), "recv_timeout"); });
    EXPECT_GE(taken, waitedOut(timing::kCommandWindow));
    EXPECT_LT(taken, waitedOut(timing::kCommandWindow) + kSlack);
}

TEST_F(SimTest, Slow_ALineEndingInCrWhenItsWindowClosesIsTakenWhole) {
    sim.on("COS\r\n", {send("COM:5@x\r"), expect("SOK\r\n"), send("RST\r\n")});
    EXPECT_EQ(com.sendCmdCOS(), "COM:,");
    expectWire("COS\r\nSOK\r\nSOK\r\n");
}

TEST_F(SimTest, VersionQueryTakesTwoLinesOnEitherPort) {
    sim.on("VER\r\n", {frame("V1"), frame("V2")});
    EXPECT_EQ(com.sendCmdVER(0, 1), "V1,V2,");
    EXPECT_EQ(com.getLastRecvDataStr(), "V1,V2,,");
    EXPECT_EQ(com.sendCmdVER(1, 1), "V1,V2,");
    EXPECT_EQ(com.sendCmdVERScript(), 1);
    expectWire("VER\r\nVER\r\nVER\r\n");

    // A line shorter than its four-byte trailer gives an empty item.
    sim.on("VER\r\n", {send("\r\n"), frame("V2")});
    EXPECT_EQ(com.sendCmdVER(0, 1), ",V2,");
}

TEST_F(SimTest, VersionQueryRefusedOrUnanswered) {
    sim.on("VER\r\n", {frame("V1"), send("CER\r\n")});
    EXPECT_EQ(com.sendCmdVER(0, 1), "CER\r\n");
    EXPECT_EQ(com.getLastRecvDataStr(), "CER..,");
    EXPECT_EQ(com.sendCmdVERScript(), 0);

    sim.on("VER\r\n", {frame("V1")});
    double taken = secondsTaken([&] { EXPECT_EQ(com.sendCmdVER(0, 1), "recv_timeout"); });
    EXPECT_LT(taken, waitedOut(timing::kShortWindow) + kSlack);
    EXPECT_EQ(com.getLastRecvDataStr(), "V1,,");
    EXPECT_EQ(com.sendCmdVER(0, 0), "recv_timeout");
}

TEST_F(SimTest, ScriptModeVersionQueryKeepsThePortHeld) {
    sim.on("VER\r\n", {frame("V1"), frame("V2")});
    EXPECT_EQ(com.sendCmdVERScript(), 1);
    pending("CUP\r\n");
    EXPECT_EQ(com.recvCmdInf(), 3);  // not reopened, so nothing was flushed

    sim.on("VER\r\n", {});
    auto result = std::async(std::launch::async, [&] { return com.sendCmdVERScript(); });
    sim.waitForBytes(10, 3000);
    sim.hangUp();
    EXPECT_EQ(result.get(), -3);
}

TEST_F(SimTest, Slow_ScriptModeVersionQueryWaitsTenSeconds) {
    double taken = secondsTaken([&] { EXPECT_EQ(com.sendCmdVERScript(), -2); });
    EXPECT_GE(taken, waitedOut(timing::kCommandWindow));
    EXPECT_LT(taken, waitedOut(timing::kCommandWindow) + kSlack);
}
