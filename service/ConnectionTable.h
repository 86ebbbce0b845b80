// The connections the server holds, and who may have the next one. The table is sized from the
// descriptor limit, one client address may hold only so many, and when it is full the longest
// silent connection of the client that holds the most goes first, so that no client can crowd
// out the others: a UI that sends STP gets a connection whatever other clients keep open.
// A connection is silent until the server has read its whole request, a call's body included;
// from then on it is serving and is never closed under it.
#ifndef SERVICE_CONNECTIONTABLE_H
#define SERVICE_CONNECTIONTABLE_H

#include <cstdint>
#include <map>
#include <string>

#include "common/ThreadSafety.h"
#include "link/SerialIO.h"

class ConnectionTable {
  public:
    struct Limits {
        unsigned capacity;   // connections open at once
        unsigned perClient;  // of them from one client address
    };
    using Id = std::uint64_t;

    explicit ConnectionTable(Limits limits);
    ConnectionTable(const ConnectionTable&) = delete;
    ConnectionTable& operator=(const ConnectionTable&) = delete;

    // For the accept loop, before it looks at the listener. Free: another connection fits now.
    // Closable: the table is full, but a silent connection may be closed for one that waits.
    // Reading: full, and the silent connections have requests not yet read: soon they serve a
    // call or are silent for good, and nothing announces which; the loop looks again shortly.
    // None: every connection is serving, or one is being closed already; endedFd() wakes the
    // loop when that changes.
    enum class Room { Free, Closable, Reading, None };
    Room room() const EXCLUDES(lock);
    // Full, and every connection serves a call: the server takes no other until one ends.
    bool fullOfCalls() const EXCLUDES(lock);
    // A connection waits and the table is full: closes the longest silent connection of the
    // client that holds the most. Only on demand, so that a newcomer that has not yet sent its
    // call is not closed for a connection that may never come.
    void makeRoom() EXCLUDES(lock);
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
    // For the connection's thread: the library reads the request from `fd` (a socketpair from the
    // TLS front), not from the connection's socket; -1 when it no longer does. Bytes waiting
    // there are a request that has come: the connection is not closable while they wait.
    void readsFrom(Id id, int fd) EXCLUDES(lock);
    // The connection has ended: it leaves the table and its descriptor is closed.
    void end(Id id) EXCLUDES(lock);

    // Closes every silent connection (when the server stops); calls in progress finish.
    void closeSilent() EXCLUDES(lock);
    std::size_t size() const EXCLUDES(lock);

  private:
    struct Connection {
        serialio::FileDescriptor fd;
        std::string client;
        enum State { Silent, Serving, Closing } state = Silent;
        bool awaitingHead = false;
        int libraryFd = -1;  // readsFrom()
    };
    using Table = std::map<Id, Connection>;

    // Shuts the connection's socket, so its thread's read ends; the thread then calls end().
    void close(Connection& connection) REQUIRES(lock);
    // Silent, and nothing of its request waits unread (or only part of its head): a request
    // that has come is not closed because its thread has not read it yet.
    static bool closable(const Connection& connection);
    // The longest closable connection of `client`, or of the client that holds the most silent
    // ones (of any client, should none of those be closable).
    Table::iterator longestSilent(const std::string* client) REQUIRES(lock);

    const Limits limits;
    mutable Mutex lock;
    Table connections GUARDED_BY(lock);
    std::map<std::string, unsigned> perClient GUARDED_BY(lock);
    std::size_t closing GUARDED_BY(lock) = 0;
    Id nextId GUARDED_BY(lock) = 1;
    serialio::FileDescriptor ended;  // an eventfd
};

#endif
