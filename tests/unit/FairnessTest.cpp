// No caller crowds out another: clients take the line in turn, a stop goes first and cancels what
// waited, a call whose client has gone never gets the line, and the server's connections make
// room for newcomers at the expense of the client that holds the most.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
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

using Refusal = LineQueue::Refusal;

void waitUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 3000 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(condition());
}

// A TCP connection on the loopback: the server's end (which its owner closes) and the client's.
struct Link {
    int server = -1, client = -1;
    Link() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        client = ::socket(AF_INET, SOCK_STREAM, 0);
        auto* where = reinterpret_cast<sockaddr*>(&address);
        if (::bind(listener, where, size) == 0 && ::listen(listener, 1) == 0 &&
            ::getsockname(listener, where, &size) == 0 && ::connect(client, where, size) == 0) {
            server = ::accept(listener, nullptr, nullptr);
        }
        ::close(listener);
    }
    ~Link() { ::close(client); }
    bool closedByServer() const {
        char byte;
        return ::recv(client, &byte, 1, MSG_DONTWAIT) == 0;
    }
};

// Calls on one line from threads of their own, each the call of a client (or the daemon's own
// when `client` is null), queued one after another behind a holder.
struct Calls {
    LineQueue line;
    std::mutex lock;
    std::vector<std::string> served;
    std::vector<std::future<std::string>> outcomes;  // "served" or the refusal's name

    void queue(const char* name, const char* client,
               LineQueue::Priority priority = LineQueue::Priority::InTurn, int departureFd = -1) {
        std::size_t before = line.waiting();
        outcomes.push_back(std::async(std::launch::async, [=]() -> std::string {
            std::optional<LineQueue::CallerScope> caller;
            if (client) caller.emplace(line, LineQueue::Caller{client, departureFd, {}});
            try {
                LineTurn turn(line, priority);
                std::lock_guard<std::mutex> guard(lock);
                served.push_back(name);
                return "served";
            } catch (const LineQueue::Refused& refused) {
                return LineQueue::nameOf(refused.why);
            }
        }));
        // A stop cancels waiting calls as it queues: the count changes either way.
        waitUntil([&] { return line.waiting() != before; });
    }
    std::vector<std::string> results() {
        std::vector<std::string> all;
        for (auto& outcome : outcomes) all.push_back(outcome.get());
        return all;
    }
};

}  // namespace

TEST(LineQueue, ServesClientsInTurnEachInArrivalOrder) {
    Calls calls;
    calls.line.acquire();
    for (auto [name, client] :
         {std::pair{"a1", "A"}, {"a2", "A"}, {"a3", "A"}, {"b1", "B"}, {"c1", "C"}, {"b2", "B"}}) {
        calls.queue(name, client);
    }
    calls.line.release();
    calls.results();
    EXPECT_EQ(calls.served, (std::vector<std::string>{"a1", "b1", "c1", "a2", "b2", "a3"}));
}

TEST(LineQueue, AStopGoesFirstAndCancelsWhatClientsQueuedBeforeIt) {
    Calls calls;
    const std::uint64_t beforeTheStop = calls.line.stopsSoFar();
    calls.line.acquire();
    calls.queue("a1", "A");
    calls.queue("own", nullptr);  // the daemon's own work is no client's motion
    calls.queue("b1", "B");
    // A request that came before the stop and has not queued yet: its call is cancelled too.
    std::promise<void> requestCame, stopQueued;
    auto early = std::async(std::launch::async, [&] {
        LineQueue::CallerScope caller(calls.line, {"D", -1, {}});
        requestCame.set_value();
        stopQueued.get_future().wait();
        try {
            LineTurn turn(calls.line);
            return std::string("served");
        } catch (const LineQueue::Refused& refused) {
            return std::string(LineQueue::nameOf(refused.why));
        }
    });
    // Its request must have come before the stop, or its call would rightly wait for the line
    // the test holds.
    requestCame.get_future().wait();
    calls.queue("stop", "C", LineQueue::Priority::Urgent);
    stopQueued.set_value();
    EXPECT_EQ(early.get(), "cancelled");
    calls.line.release();
    EXPECT_EQ(calls.results(),
              (std::vector<std::string>{"cancelled", "served", "cancelled", "served"}));
    EXPECT_EQ(calls.served, (std::vector<std::string>{"stop", "own"}));
    // The stop is no latch: a request that comes after it is served.
    {
        LineQueue::CallerScope later(calls.line, {"A", -1, {}});
        EXPECT_NO_THROW(LineTurn{calls.line});
    }
    // One whose bytes came before the stop is not, however late its thread reads them.
    LineQueue::CallerScope late(calls.line, {"B", -1, beforeTheStop});
    EXPECT_THROW(LineTurn{calls.line}, LineQueue::Refused);
}

TEST(LineQueue, OnceClosedRefusesCallsInTurnButNotTheHolderOrAStop) {
    Calls calls;
    calls.line.acquire();
    calls.queue("a1", "A");
    calls.queue("own", nullptr);
    calls.line.close();
    calls.queue("stop", "B", LineQueue::Priority::Urgent);
    calls.line.release();
    EXPECT_EQ(calls.results(), (std::vector<std::string>{"stopping", "stopping", "served"}));
    EXPECT_THROW(LineTurn{calls.line}, LineQueue::Refused);
}

TEST(LineQueue, ACallWhoseClientHasGoneNeverGetsTheLine) {
    // Gone while it waits (the watch tells), or before it asks (the check as it takes the line);
    // shutting the sending side counts as going. A stop is never dropped.
    struct Case {
        const char* what;
        bool goneBeforeAsking;
        int how;  // shutdown() or -1: close
        LineQueue::Priority priority;
        const char* expected;
    } cases[] = {
        {"closed while waiting", false, -1, LineQueue::Priority::InTurn, "abandoned"},
        {"shut while waiting", false, SHUT_WR, LineQueue::Priority::InTurn, "abandoned"},
        {"closed before asking", true, -1, LineQueue::Priority::InTurn, "abandoned"},
        {"a stop closed while waiting", false, -1, LineQueue::Priority::Urgent, "served"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Calls calls;
        Link link;
        auto leave = [&] {
            if (c.how < 0) {
                ::close(link.client);
                link.client = -1;
            } else {
                ::shutdown(link.client, c.how);
            }
        };
        calls.line.acquire();
        if (c.goneBeforeAsking) {
            leave();
            calls.line.release();
        }
        std::size_t before = calls.line.waiting();
        calls.outcomes.push_back(std::async(std::launch::async, [&]() -> std::string {
            LineQueue::CallerScope caller(calls.line, {"A", link.server, {}});
            try {
                LineTurn turn(calls.line, c.priority);
                return "served";
            } catch (const LineQueue::Refused& refused) {
                return LineQueue::nameOf(refused.why);
            }
        }));
        if (!c.goneBeforeAsking) {
            waitUntil([&] { return calls.line.waiting() > before; });
            leave();
            if (c.priority == LineQueue::Priority::InTurn) {
                // Dropped at once, while the line is still held.
                waitUntil([&] { return calls.line.waiting() == before; });
            }
            calls.line.release();
        }
        EXPECT_EQ(calls.results(), std::vector<std::string>{c.expected});
        ::close(link.server);
    }
}

TEST(LineQueue, ShedsTheNewestCallOfTheClientNamedAndTheRestOfItsRequest) {
    Calls calls;
    calls.line.acquire();
    calls.queue("a1", "A");
    calls.queue("b1", "B");
    calls.queue("a2", "A");
    EXPECT_TRUE(calls.line.shedNewest("A"));
    EXPECT_FALSE(calls.line.shedNewest("C"));
    calls.line.release();
    EXPECT_EQ(calls.results(), (std::vector<std::string>{"served", "served", "busy"}));
}

TEST_F(SimTest, AStopCancelsTheCallsWaitingForTheLineAndNoneOfThemReachesIt) {
    sim.on("FWD\r\n", {tcsim::delay(700), tcsim::send("FWD\r\n")});
    sim.on("STP\r\n", {tcsim::send("STP\r\n")});
    auto asClient = [&](const char* client, std::function<int()> call) {
        return std::async(std::launch::async, [this, client, call] {
            auto caller = com.callerScope({client, -1, {}});
            try {
                return call();
            } catch (const LineQueue::Refused& refused) {
                return refused.why == Refusal::Cancelled ? -507 : -999;
            }
        });
    };
    auto inProgress = asClient("A", [&] { return com.sendCmdFWD(); });
    sim.waitForBytes(5, 3000);  // the first FWD is on the line
    std::vector<std::future<int>> queued;
    std::vector<std::function<int()>> waiting = {
        [&] { return com.sendCmdFWD(); }, [&] { return com.sendCmdRVS(); },
        [&] { return com.sendCmd("FWD\r\n").empty() ? 0 : 1; }};
    for (std::size_t i = 0; i < waiting.size(); ++i) {
        queued.push_back(asClient(i == 0 ? "B" : "C", waiting[i]));
        waitUntil([&] { return com.callsWaiting() == i + 1; });
    }
    double taken = secondsTaken([&] {
        auto caller = com.callerScope({"D", -1, {}});
        EXPECT_EQ(com.sendCmdSTP(), 1);
    });
    EXPECT_LT(taken, 2.0);
    EXPECT_EQ(inProgress.get(), 1);
    for (auto& call : queued) EXPECT_EQ(call.get(), -507);
    expectWire("FWD\r\nSTP\r\n");
    // A motion asked for after the stop runs.
    auto after = com.callerScope({"B", -1, {}});
    EXPECT_EQ(com.sendCmdFWD(), 1);
    expectWire("FWD\r\nSTP\r\nFWD\r\n");
}

TEST(ConnectionTable, AFullTableClosesASilentConnectionOfTheBiggestHolderOnDemand) {
    using Room = ConnectionTable::Room;
    ConnectionTable table({4, 4});
    Link a1, a2, a3, b1;
    auto first = table.admit(a1.server, "A");
    auto second = table.admit(a2.server, "A");
    auto third = table.admit(a3.server, "A");
    table.admit(b1.server, "B");
    ASSERT_TRUE(table.beginRequest(first));  // serving: never closed under its call
    ASSERT_TRUE(table.beginRequest(second));
    EXPECT_EQ(table.room(), Room::Full);
    EXPECT_FALSE(a3.closedByServer());  // nothing is closed until a connection waits
    EXPECT_EQ(table.biggestHolders(), std::vector<std::string>{"A"});
    EXPECT_TRUE(table.closeLongestSilent("A"));
    EXPECT_TRUE(a3.closedByServer());
    EXPECT_EQ(table.room(), Room::Closing);  // one at a time: B's stays open meanwhile
    EXPECT_FALSE(table.closeLongestSilent("B"));
    EXPECT_FALSE(b1.closedByServer() || a1.closedByServer() || a2.closedByServer());
    EXPECT_FALSE(table.beginRequest(third));
    table.end(third);
    EXPECT_EQ(table.room(), Room::Free);
    EXPECT_EQ(table.biggestHolders(), std::vector<std::string>{"A"});
}

TEST(ConnectionTable, ARequestThatHasComeIsNotClosedAndAnAnswerNotReadIs) {
    ConnectionTable table({2, 2});
    Link a, b;
    auto first = table.admit(a.server, "A");
    auto second = table.admit(b.server, "B");
    ASSERT_EQ(::send(b.client, "POST", 4, 0), 4);  // B's thread has not read it yet
    ASSERT_TRUE(table.beginRequest(first));
    EXPECT_FALSE(table.closeLongestSilent("B"));
    EXPECT_FALSE(b.closedByServer());
    EXPECT_FALSE(table.fullOfCalls());
    ASSERT_TRUE(table.beginRequest(second));
    EXPECT_TRUE(table.fullOfCalls());
    // A's answer is being written: no longer a call, and closable once its client lets it lie.
    // The accept loop hears of it, to look at it from then on.
    table.answered(first);
    EXPECT_FALSE(table.fullOfCalls());
    pollfd answeredSignal{table.answeredFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&answeredSignal, 1, 0), 1);
    bool closed = false;
    waitUntil([&] { return closed = closed || table.closeLongestSilent("A"); });
    EXPECT_TRUE(a.closedByServer());
    EXPECT_FALSE(b.closedByServer());
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

TEST(ConnectionTable, CountsAnIPv6Slash64AsOneClient) {
    auto clientOf = [](int family, const char* address) {
        sockaddr_storage peer{};
        peer.ss_family = static_cast<sa_family_t>(family);
        void* where = family == AF_INET
                          ? static_cast<void*>(&reinterpret_cast<sockaddr_in&>(peer).sin_addr)
                          : static_cast<void*>(&reinterpret_cast<sockaddr_in6&>(peer).sin6_addr);
        EXPECT_EQ(inet_pton(family, address, where), 1);
        return ConnectionTable::clientOf(peer);
    };
    EXPECT_EQ(clientOf(AF_INET, "192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(clientOf(AF_INET6, "::ffff:192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(clientOf(AF_INET6, "2001:db8:1:2::1"), "2001:db8:1:2::/64");
    EXPECT_EQ(clientOf(AF_INET6, "2001:db8:1:2:aaaa:bbbb:cccc:dddd"), "2001:db8:1:2::/64");
    EXPECT_EQ(clientOf(AF_INET6, "2001:db8:1:3::1"), "2001:db8:1:3::/64");
}
