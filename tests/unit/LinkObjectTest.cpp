// The link object itself: title, greeting, the held port, the drain of stale input.
#include <dirent.h>

#include "SimFixture.h"

using tcsim::send;

namespace {

int openDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir)) ++count;
    closedir(dir);
    return count;
}

}  // namespace

TEST(LinkObject, TitleAndGreeting) {
    RS232CCom com("/nonexistent/tty");
    EXPECT_EQ(com.getTitle(), "No title set (C++)");
    com.setTitle("Station 3");
    EXPECT_EQ(com.getTitle(), "Station 3 (C++)");
    com.setTitle("");
    EXPECT_EQ(com.getTitle(), "No title set (C++)");
    EXPECT_EQ(com.getMessage(""), "No name set");
    EXPECT_EQ(com.getMessage("Ann"), "Hello Ann, welcome to Tessaryn!");
}

TEST(LinkObject, AMissingDeviceFailsEveryOperationWithItsOpenResult) {
    RS232CCom com("/nonexistent/tty");
    EXPECT_EQ(com.serialClose(), 0);
    EXPECT_EQ(com.sendCmd("FWD\r\n", "FWD\r\n", 1), -1);
    EXPECT_EQ(com.sendCmdScipt("FWD\r\n", "FWD\r\n", 1), -1);
    EXPECT_EQ(com.sendCmdScipt("FWD\r\n", "FWD\r\n", 1), -1);  // tried again each time
    EXPECT_EQ(com.recvCmdInf(), -1);
    EXPECT_EQ(com.sendCmd("VER\r\n"), "open_error");
    EXPECT_EQ(com.sendCmdCOS(), "open_error");
    EXPECT_EQ(com.sendCmdCHS("1"), "open_error");
    EXPECT_EQ(com.sendCmdVER(0, 1), "open_error");
    EXPECT_EQ(com.sendCmdVER(1, 1), "open_error");
    EXPECT_EQ(com.sendCmdVERScript(), -1);
    EXPECT_EQ(com.getLastRecvDataStr(), "");
}

TEST_F(SimTest, SerialCloseOnAFreshObjectTouchesNothing) {
    EXPECT_EQ(com.serialClose(), 0);
    EXPECT_EQ(com.serialClose(), 0);
    EXPECT_EQ(sim.received(), "");
}

TEST_F(SimTest, DrainAddsACommaOnlyToAFieldThatHoldsData) {
    sim.on("X\r\n", {send("X\r\n")});
    EXPECT_EQ(com.sendCmd(""), "");  // nothing pending, field empty: stays empty
    EXPECT_EQ(com.getLastRecvDataStr(), "");

    EXPECT_EQ(com.recvCmdInf(), 0);  // holds the port
    pending("AB");
    EXPECT_EQ(com.recvCmdInf(), 0);  // the status poll leaves 'AB' in the field
    EXPECT_EQ(com.sendCmd(""), "");
    EXPECT_EQ(com.getLastRecvDataStr(), "AB,");
}

TEST_F(SimTest, HeldPortIsDrainedNotFlushedBetweenCallsAndFlushedWhenReopened) {
    sim.on("X\r\n", {send("X\r\n")});
    EXPECT_EQ(com.sendCmdScipt("X\r\n", "X\r\n", 1), 1);
    pending("CUP\r\n");
    EXPECT_EQ(com.sendCmdScipt("X\r\n", "X\r\n", 1), 1);
    EXPECT_EQ(com.getLastRecvDataBinStr(), "43-55-50-0D-0A.-58-0D-0A");

    pending(bytesOf({0x41, 0x00, 0x42}));
    EXPECT_EQ(com.sendCmdScipt("X\r\n", "X\r\n", 1), 1);
    EXPECT_EQ(com.getLastRecvDataStr(), "AB,X..");

    // What came in one piece with a reply waits for the next call as if still on the line...
    sim.on("Y\r\n", {send("Y\r\nFSP\r\n")});
    EXPECT_EQ(com.sendCmdScipt("Y\r\n", "Y\r\n", 1), 1);
    EXPECT_EQ(com.getLastRecvDataStr(), "Y..");
    EXPECT_EQ(com.sendCmdScipt("X\r\n", "X\r\n", 1), 1);
    EXPECT_EQ(com.getLastRecvDataStr(), "FSP..,X..");

    // ...and a fresh open sets the line up again, which discards what was waiting.
    EXPECT_EQ(com.sendCmdScipt("Y\r\n", "Y\r\n", 1), 1);
    EXPECT_EQ(com.serialClose(), 0);
    pending("CUP\r\n");
    EXPECT_EQ(com.sendCmdScipt("X\r\n", "X\r\n", 1), 1);
    EXPECT_EQ(com.getLastRecvDataStr(), "X..");
}

TEST(LinkObject, ClosesEveryDescriptorItOpens) {
    int before = openDescriptors();
    {
        tcsim::ToolControllerSim sim;
        sim.useDefaults();
        int withSim = openDescriptors();
        {
            RS232CCom com(sim.slavePath());
            EXPECT_EQ(com.sendCmdRST(), 1);
            EXPECT_EQ(openDescriptors(), withSim);
            // The held port, and the hang-up watch's eventfd from then on.
            EXPECT_EQ(com.sendCmdWRT(), 1);
            EXPECT_EQ(openDescriptors(), withSim + 2);
            EXPECT_EQ(com.sendCmd("VER\r\n").substr(0, 6), "TC-SIM");
            EXPECT_EQ(com.sendCmdCOS(), "COM:12,COM:34,");
            EXPECT_EQ(com.sendCmdVER(0, 1), "TC-SIM,V1.00,");
            EXPECT_EQ(openDescriptors(), withSim + 2);
            EXPECT_EQ(com.serialClose(), 0);
            EXPECT_EQ(openDescriptors(), withSim + 1);
            EXPECT_EQ(com.sendCmdSTP(), 1);
        }
        EXPECT_EQ(openDescriptors(), withSim);  // the destructor closed the held port
    }
    EXPECT_EQ(openDescriptors(), before);
}
