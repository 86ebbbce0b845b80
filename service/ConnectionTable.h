// The connections the server holds, and who may have the next one. The table is sized from the
// descriptor limit, one client may hold only so many, and when it is full the client that holds
// the most gives one up, never a smaller one, so that no client can crowd out the others: a UI
// that sends STP gets a connection whatever other clients keep open. A client is an address; an
// IPv6 /64, which one host may fill with addresses of its own, counts as one.
// A connection is silent until the server has read its whole request, a call's body included;
// from then on it is serving and is never closed under it, until its answer is being written:
// an answer nobody reads must not hold a place.
#ifndef SERVICE_CONNECTIONTABLE_H
#define SERVICE_CONNECTIONTABLE_H

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/FileDescriptor.h"
#include "common/ThreadSafety.h"

class ConnectionTable {
  public:
    struct Limits {
        unsigned capacity;   // connections open at once
        unsigned perClient;  // of them from one client address
    };
    using Id = std::uint64_t;

    explicit ConnectionTable(Limits limits);
    // A client as the table counts it: an IPv4 address, or an IPv6 address's /64
    // ("2001:db8:1:2::/64"); an IPv4 address mapped into IPv6 is that IPv4 address.
    static std::string clientOf(const sockaddr_storage& peer);
    ConnectionTable(const ConnectionTable&) = delete;
    ConnectionTable& operator=(const ConnectionTable&) = delete;

    // For the accept loop, before it looks at the listener. Free: another connection fits now.
    // Full: a newcomer needs one of the biggest holders to give one up. Closing: a connection is
    // being closed to make room already; endedFd() wakes the loop when it has gone.
    enum class Room { Free, Full, Closing };
    Room room() const EXCLUDES(lock);
    // Full, and every connection serves a call: the server takes no other until one ends.
    bool fullOfCalls() const EXCLUDES(lock);
    // The clients that hold the most connections now (more than one when they hold as many):
    // when the table is full, one of them gives up a place, never a smaller client.
    std::vector<std::string> biggestHolders() const EXCLUDES(lock);
    // A connection waits and the table is full: closes the longest silent connection of
    // `client` (or one whose answer it does not read). Only on demand, so that a newcomer that
    // has not yet sent its call is not closed for a connection that may never come. False when
    // it has none: a request that has come is not closed because its thread has not read it yet.
    bool closeLongestSilent(const std::string& client) EXCLUDES(lock);
    // Takes `fd` (accepted from `client`) into the table and returns its name; 0 when the
    // client already holds its share and none of its connections is silent (the caller then
    // refuses it). A client at its share loses its longest silent connection to the new one.
    Id admit(int fd, const std::string& client) EXCLUDES(lock);
    // Becomes readable whenever a connection ends, for the accept loop's poll.
    int endedFd() const { return ended.get(); }
    // Reads what endedFd() signalled.
    void clearEnded();

    // For the connection's thread: part of the request's head has come and the thread waits for
    // the rest. Bytes of an unfinished head make no request: the connection is silent.
    void awaitingHead(Id id, bool waiting) EXCLUDES(lock);
    // For the connection's thread: the request is read and about to be served. False when the
    // connection was closed for another meanwhile; it must then not be served.
    bool beginRequest(Id id) EXCLUDES(lock);
    // Whether the table closed the connection (for another, or as the server stops): what then
    // fails on it is not the client's doing.
    bool closedHere(Id id) const EXCLUDES(lock);
    // For the connection's thread: the library reads the request from `fd` (a socketpair from the
    // TLS front), not from the connection's socket; -1 when it no longer does. Bytes waiting
    // there are a request that has come: the connection is not closable while they wait.
    void readsFrom(Id id, int fd) EXCLUDES(lock);
    // For the connection's thread: the answer is made and about to be written. It no longer
    // serves a call; once its client has taken less than kMinProgress of it for kAnswerGrace it
    // may be closed for another, and after kAnswerTimeout it is closed (closeStalledAnswers): a
    // client that does not read its answer holds neither a place nor a thread and the answer's
    // memory. (A socket nobody reads still takes a few bytes now and then, as the kernel packs
    // what it holds: that is no progress.)
    void answered(Id id) EXCLUDES(lock);
    static constexpr std::chrono::seconds kAnswerGrace{1};
    static constexpr std::chrono::seconds kAnswerTimeout{10};
    static constexpr std::uint64_t kMinProgress = 64 * 1024;
    // Whether an answer is being written: the accept loop then looks once a second.
    bool writingAnswers() const EXCLUDES(lock);
    // Becomes readable when an answer is made, so that the accept loop starts to look.
    int answeredFd() const { return answeredSignal.get(); }
    void clearAnswered();
    // Closes each connection whose client has taken (almost) none of its answer for
    // kAnswerTimeout; the number closed.
    std::size_t closeStalledAnswers() EXCLUDES(lock);
    // The connection has ended: it leaves the table and its descriptor is closed.
    void end(Id id) EXCLUDES(lock);

    // Closes every silent connection (when the server stops); calls in progress finish.
    void closeSilent() EXCLUDES(lock);
    std::size_t size() const EXCLUDES(lock);

  private:
    struct Connection {
        FileDescriptor fd;
        std::string client;
        enum State { Silent, Serving, Answered, Closing } state = Silent;
        // Answered: how much of it its client had taken when it last made progress, and when.
        std::uint64_t taken = 0;
        std::chrono::steady_clock::time_point takenSince;
        bool awaitingHead = false;
        int libraryFd = -1;  // readsFrom()
    };
    using Table = std::map<Id, Connection>;

    // Shuts the connection's socket, so its thread's read ends; the thread then calls end().
    void close(Connection& connection) REQUIRES(lock);
    // Silent with nothing of its request waiting unread (or only part of its head): a request
    // that has come is not closed because its thread has not read it yet. Or answered, and its
    // client has taken (almost) nothing for kAnswerGrace.
    bool closable(Connection& connection) REQUIRES(lock);
    // Answered, and its client has taken less than kMinProgress of the answer for `limit`.
    static bool stalled(Connection& connection, std::chrono::steady_clock::duration limit);
    // The longest closable connection of `client`, or end().
    Table::iterator longestSilent(const std::string& client) REQUIRES(lock);

    const Limits limits;
    mutable Mutex lock;
    Table connections GUARDED_BY(lock);
    std::map<std::string, unsigned> perClient GUARDED_BY(lock);
    std::size_t closing GUARDED_BY(lock) = 0;
    Id nextId GUARDED_BY(lock) = 1;
    FileDescriptor ended;           // an eventfd
    FileDescriptor answeredSignal;  // an eventfd
};

#endif
