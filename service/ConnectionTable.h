// The connections the server holds, and who may have the next one. The table is sized from the
// descriptor limit, one client address may hold only so many, and when it is full the longest
// silent connection of the client that holds the most goes first, so that no client can crowd
// out the others: a UI that sends STP gets a connection whatever other clients keep open.
// A connection is silent until the server has read its request; from then on it is serving a
// call and is never closed under it.
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

    // For the accept loop: true when another connection fits now. When the table is full it
    // closes a silent connection to make room, and says false until that one has ended.
    bool roomForAnother() EXCLUDES(lock);
    // Takes `fd` (accepted from `client`) into the table and returns its name; 0 when the
    // client already holds its share and none of its connections is silent (the caller then
    // refuses it). A client at its share loses its longest silent connection to the new one.
    Id admit(int fd, const std::string& client) EXCLUDES(lock);
    // Becomes readable whenever a connection ends, for the accept loop's poll.
    int endedFd() const { return ended.get(); }
    // Reads what endedFd() signalled.
    void clearEnded();

    // For the connection's thread: the request is read and about to be served. False when the
    // connection was closed for another meanwhile; it must then not be served.
    bool beginRequest(Id id) EXCLUDES(lock);
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
    };
    using Table = std::map<Id, Connection>;

    // Shuts the connection's socket, so its thread's read ends; the thread then calls end().
    void close(Connection& connection) REQUIRES(lock);
    // The longest silent connection of `client`, or of the client that holds the most.
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
