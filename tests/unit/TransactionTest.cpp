// The command transaction in its per-call and held-port forms, the text form and the status poll.
#include <unistd.h>

#include <cstdlib>
#include <future>

#include "SimFixture.h"

using tcsim::delay;
using tcsim::send;

namespace {

enum class Form { PerCall, Held };

class TransactionCodes : public SimTest, public ::testing::WithParamInterface<Form> {
  protected:
    int transact(const std::string& cmd, const std::string& reply, int timeout) {
        return GetParam() == Form::Held ? com.sendCmdScipt(cmd, reply, timeout)
                                        : com.sendCmd(cmd, reply, timeout);
    }
};

}  // namespace

TEST_P(TransactionCodes, AcknowledgedRefusedDroppedAndSilent) {
    sim.on("A\r\n", {send("SOK\r\n")});
    sim.on("B\r\n", {send("CER\r\n")});
    sim.on("C\r\n", {send("ABC\r\n"), delay(300), send("SOK\r\n")});
    sim.on("D\r\n", {send("SOK 12\r\n")});
    sim.on("E\r\n", {send("XYZ\r"), delay(300), send("\n"), delay(300), send("SOK\r\n")});
    EXPECT_EQ(transact("A\r\n", "SOK\r\n", 1), 1);
    EXPECT_EQ(transact("B\r\n", "SOK\r\n", 1), 0);
    EXPECT_EQ(transact("C\r\n", "SOK\r\n", 1), 1);
    EXPECT_EQ(transact("D\r\n", "SOK", 1), 1);
    EXPECT_EQ(transact("D\r\n", "", 1), 1);
    // A CR and its LF a moment apart still end the line: 'XYZ' is dropped, SOK acknowledges.
    EXPECT_EQ(transact("E\r\n", "SOK\r\n", 1), 1);
    EXPECT_EQ(transact("Z\r\n", "SOK\r\n", 1), -2);
    expectWire("A\r\nB\r\nC\r\nD\r\nD\r\nE\r\nZ\r\n");
}

TEST_P(TransactionCodes, AWindowOfZeroClosesBeforeReadingButTheCommandIsWritten) {
    sim.on("A\r\n", {send("SOK\r\n")});
    EXPECT_EQ(transact("A\r\n", "SOK\r\n", 0), -2);
    // The next call's line set-up flushes what the simulator has not read yet.
    sim.waitForBytes(3, 3000);
    EXPECT_EQ(transact("A\r\n", "SOK\r\n", -5), -2);
    expectWire("A\r\nA\r\n");
}

TEST_P(TransactionCodes, AOneSecondWindowLastsOneSecond) {
    double taken = secondsTaken([&] { EXPECT_EQ(transact("Z\r\n", "SOK\r\n", 1), -2); });
    EXPECT_GE(taken, waitedOut(timing::kShortWindow) - 0.01);
    EXPECT_LT(taken, waitedOut(timing::kShortWindow) + kSlack);
}

TEST_P(TransactionCodes, AWindowClosingRightAfterACrCompletesTheLine) {
    sim.on("A\r\n", {send("SOK\r")});
    EXPECT_EQ(transact("A\r\n", "SOK\r", 1), 1);
}

TEST_P(TransactionCodes, AnAdapterThatVanishesFailsAtOnce) {
    auto result = std::async(std::launch::async, [&] { return transact("Z\r\n", "SOK\r\n", 10); });
    sim.waitForBytes(3, 3000);
    sim.hangUp();  // in the pause after the command, or while the call waits: a failed line
    double taken = secondsTaken([&] { EXPECT_EQ(result.get(), -3); });
    EXPECT_LT(taken, 3.0);  // not the 10-second window
}

INSTANTIATE_TEST_SUITE_P(BothPorts, TransactionCodes, ::testing::Values(Form::PerCall, Form::Held),
                         [](const auto& info) {
                             return info.param == Form::Held ? "Held" : "PerCall";
                         });

TEST_F(SimTest, OnlyTheHeldPortRecordsWhatItReceives) {
    sim.on("WRT\r\n", {send("WRT\r\n")});
    pending("CUP\r\n");
    EXPECT_EQ(com.sendCmd("WRT\r\n", "WRT\r\n", 1), 1);  // opening flushed the CUP
    EXPECT_EQ(com.getLastRecvDataStr(), "");

    EXPECT_EQ(com.recvCmdInf(), 0);  // now the port is held
    pending("CUP\r\n");
    EXPECT_EQ(com.sendCmdScipt("WRT\r\n", "WRT\r\n", 1), 1);
    // Rendering empties the field, so the second rendering is empty whichever comes first.
    EXPECT_EQ(com.getLastRecvDataStr(), "CUP..,WRT..");
    EXPECT_EQ(com.getLastRecvDataBinStr(), "");
    pending("CUP\r\n");
    EXPECT_EQ(com.sendCmdScipt("WRT\r\n", "WRT\r\n", 1), 1);
    EXPECT_EQ(com.getLastRecvDataBinStr(), "43-55-50-0D-0A.-57-52-54-0D-0A");
    EXPECT_EQ(com.getLastRecvDataStr(), "");
}

TEST_F(SimTest, TextFormReturnsWhatArrivedDuringThePause) {
    sim.on("OK?\r\n", {send("OK\r\n")});
    sim.on("LONG\r\n", {send(std::string(150, 'L'))});
    sim.on("LF\r\n", {send("A\nB")});
    EXPECT_EQ(com.sendCmd("NOTHING\r\n"), "");
    EXPECT_EQ(com.sendCmd("OK?\r\n"), "OK\r\n");
    EXPECT_EQ(com.sendCmd("LONG\r\n"), std::string(100, 'L'));  // the read limit
    EXPECT_EQ(com.sendCmd("LF\r\n"), "A\nB");
    EXPECT_EQ(com.sendCmd(""), "");
    expectWire("NOTHING\r\nOK?\r\nLONG\r\nLF\r\n");
}

TEST_F(SimTest, StatusPollClassifiesPendingLinesWithoutWaiting) {
    struct Case {
        std::string pending;
        int result;
    } cases[] = {
        {"WNG\r\nOK\r\n", 1}, {"CUP\r\nXYZ\r\n", 3}, {"FSC", 6}, {"XYZ\r\n", 0}, {"FSP\r\n", 5}};
    EXPECT_EQ(com.recvCmdInf(), 0);  // opens the held port; nothing pending
    for (const auto& c : cases) {
        pending(c.pending);
        EXPECT_EQ(com.recvCmdInf(), c.result) << c.pending;
    }
    EXPECT_EQ(com.recvCmdInf(), 0);
    EXPECT_EQ(com.getLastRecvDataStr(), "FSP..");  // nothing pending: field kept
    pending("FNG\r\n");
    EXPECT_EQ(com.recvCmdInf(), 2);
    EXPECT_EQ(com.recvCmdInf(), 0);
    EXPECT_EQ(com.getLastRecvDataStr(), "FNG..");
}
