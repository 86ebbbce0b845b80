// No caller crowds out another: the line is taken in turn with STP first, and the server's
// connections make room for newcomers by closing silent ones.
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "SimFixture.h"
#include "link/LineQueue.h"
#include "service/ConnectionTable.h"

namespace {

void waitUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 3000 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(condition());
}

}  // namespace

TEST(LineQueue, ServesWaitersInArrivalOrderAndUrgentOnesFirst) {
    LineQueue line;
    std::vector<std::string> order;
    std::mutex orderLock;
    std::vector<std::thread> waiters;
    line.acquire();
    for (const char* name : {"a", "b", "stop1", "c", "stop2"}) {
        auto priority = name[0] == 's' ? LineQueue::Priority::Urgent : LineQueue::Priority::InTurn;
        std::size_t before = line.waiting();
        waiters.emplace_back([&, name, priority] {
            LineTurn turn(line, priority);
            std::lock_guard<std::mutex> guard(orderLock);
            order.push_back(name);
        });
        waitUntil([&] { return line.waiting() > before; });
    }
    line.release();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(order, (std::vector<std::string>{"stop1", "stop2", "a", "b", "c"}));
}

TEST(LineQueue, OnceClosedRefusesCallsInTurnButNotTheHolderOrAStop) {
    LineQueue line;
    line.acquire();
    auto waitFor = [&](LineQueue::Priority priority) {
        std::size_t before = line.waiting();
        auto got = std::async(std::launch::async, [&line, priority] {
            try {
                LineTurn turn(line, priority);
                return true;
            } catch (const LineQueue::Closed&) {
                return false;
            }
        });
        waitUntil([&] { return line.waiting() > before; });
        return got;
    };
    auto inTurn = waitFor(LineQueue::Priority::InTurn);
    auto stop = waitFor(LineQueue::Priority::Urgent);
    line.close();
    EXPECT_FALSE(inTurn.get());
    line.release();
    EXPECT_TRUE(stop.get());
    EXPECT_THROW(LineTurn{line}, LineQueue::Closed);
}

TEST_F(SimTest, StopReachesTheWireRightAfterTheExchangeInProgress) {
    sim.on("FWD\r\n", {tcsim::delay(700), tcsim::send("FWD\r\n")});
    sim.on("STP\r\n", {tcsim::send("STP\r\n")});
    std::vector<std::future<int>> calls;
    calls.push_back(std::async(std::launch::async, [&] { return com.sendCmdFWD(); }));
    sim.waitForBytes(5, 3000);  // the first FWD is on the line
    for (std::size_t queued = 1; queued <= 3; ++queued) {
        calls.push_back(std::async(std::launch::async, [&] { return com.sendCmdFWD(); }));
        waitUntil([&] { return com.callsWaiting() == queued; });
    }
    double taken = secondsTaken([&] { EXPECT_EQ(com.sendCmdSTP(), 1); });
    EXPECT_LT(taken, 2.0);
    for (auto& call : calls) EXPECT_EQ(call.get(), 1);
    expectWire("FWD\r\nSTP\r\nFWD\r\nFWD\r\nFWD\r\n");
}

namespace {

// A connection as the server would hold it: our end goes into the table, the client's stays.
struct Link {
    int server = -1, client = -1;
    Link() {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0) {
            server = ends[0];
            client = ends[1];
        }
    }
    ~Link() { ::close(client); }
    bool closedByServer() const {
        char byte;
        return ::recv(client, &byte, 1, MSG_DONTWAIT) == 0;
    }
};

}  // namespace

TEST(ConnectionTable, AFullTableClosesTheLongestSilentConnectionOfTheBusiestClientOnDemand) {
    using Room = ConnectionTable::Room;
    ConnectionTable table({3, 3});
    Link a1, a2, b1;
    auto first = table.admit(a1.server, "A");
    auto second = table.admit(a2.server, "A");
    table.admit(b1.server, "B");
    ASSERT_TRUE(table.beginRequest(first));  // serving: never closed under its call
    EXPECT_EQ(table.room(), Room::Closable);
    EXPECT_FALSE(a2.closedByServer());  // nothing is closed until a connection waits
    table.makeRoom();
    EXPECT_TRUE(a2.closedByServer());
    EXPECT_EQ(table.room(), Room::None);  // one at a time: B's stays open meanwhile
    table.makeRoom();
    EXPECT_FALSE(b1.closedByServer() || a1.closedByServer());
    EXPECT_FALSE(table.beginRequest(second));
    table.end(second);
    EXPECT_EQ(table.room(), Room::Free);
    EXPECT_EQ(table.size(), 2u);
}

TEST(ConnectionTable, ARequestThatHasComeIsNotClosedAndATableOfCallsIsFull) {
    ConnectionTable table({2, 2});
    Link a, b;
    auto first = table.admit(a.server, "A");
    auto second = table.admit(b.server, "B");
    ASSERT_EQ(::send(b.client, "POST", 4, 0), 4);  // B's thread has not read it yet
    ASSERT_TRUE(table.beginRequest(first));
    EXPECT_EQ(table.room(), ConnectionTable::Room::Reading);  // looked at again shortly
    table.makeRoom();
    EXPECT_FALSE(b.closedByServer());
    EXPECT_FALSE(table.fullOfCalls());
    ASSERT_TRUE(table.beginRequest(second));
    EXPECT_TRUE(table.fullOfCalls());
}

TEST(ConnectionTable, AClientAtItsShareLosesItsLongestSilentConnectionOrIsRefused) {
    ConnectionTable table({10, 2});
    Link x1, x2, x3, x4, y1;
    auto oldest = table.admit(x1.server, "X");
    auto next = table.admit(x2.server, "X");
    auto newest = table.admit(x3.server, "X");
    EXPECT_NE(newest, 0u);
    EXPECT_TRUE(x1.closedByServer());
    table.end(oldest);
    ASSERT_TRUE(table.beginRequest(next) && table.beginRequest(newest));
    EXPECT_EQ(table.admit(x4.server, "X"), 0u);  // both serving: the newcomer is refused
    ::close(x4.server);
    EXPECT_NE(table.admit(y1.server, "Y"), 0u);  // another client is not affected
}
