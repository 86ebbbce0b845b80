#include "service/ConnectionTable.h"

#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

ConnectionTable::ConnectionTable(Limits limits)
    : limits(limits), ended(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!ended.isOpen()) throw std::runtime_error("cannot create an eventfd");
}

ConnectionTable::Room ConnectionTable::room() const {
    MutexLock guard(lock);
    if (connections.size() < limits.capacity) return Room::Free;
    // One closing connection at a time makes room; its end wakes the accept loop.
    if (closing > 0) return Room::None;
    bool reading = false;
    for (const auto& entry : connections) {
        if (closable(entry.second)) return Room::Closable;
        reading = reading || entry.second.state == Connection::Silent;
    }
    return reading ? Room::Reading : Room::None;
}

bool ConnectionTable::fullOfCalls() const {
    MutexLock guard(lock);
    if (connections.size() < limits.capacity) return false;
    for (const auto& entry : connections) {
        if (entry.second.state != Connection::Serving) return false;
    }
    return true;
}

void ConnectionTable::makeRoom() {
    MutexLock guard(lock);
    if (connections.size() < limits.capacity || closing > 0) return;
    auto victim = longestSilent(nullptr);
    if (victim != connections.end()) close(victim->second);
}

ConnectionTable::Id ConnectionTable::admit(int fd, const std::string& client) {
    MutexLock guard(lock);
    if (perClient[client] >= limits.perClient) {
        auto victim = longestSilent(&client);
        if (victim == connections.end()) {
            if (perClient[client] == 0) perClient.erase(client);
            return 0;
        }
        close(victim->second);
    }
    Id id = nextId++;
    Connection& connection = connections[id];
    connection.fd.reset(fd);
    connection.client = client;
    ++perClient[client];
    return id;
}

void ConnectionTable::clearEnded() {
    std::uint64_t count = 0;
    ssize_t ignored = ::read(ended.get(), &count, sizeof count);
    (void)ignored;  // nothing to read is as good as having read it
}

void ConnectionTable::awaitingHead(Id id, bool waiting) {
    MutexLock guard(lock);
    auto found = connections.find(id);
    if (found != connections.end()) found->second.awaitingHead = waiting;
}

bool ConnectionTable::beginRequest(Id id) {
    MutexLock guard(lock);
    auto found = connections.find(id);
    if (found == connections.end() || found->second.state == Connection::Closing) return false;
    found->second.state = Connection::Serving;
    return true;
}

void ConnectionTable::readsFrom(Id id, int fd) {
    MutexLock guard(lock);
    auto found = connections.find(id);
    if (found != connections.end()) found->second.libraryFd = fd;
}

void ConnectionTable::end(Id id) {
    MutexLock guard(lock);
    auto found = connections.find(id);
    if (found == connections.end()) return;
    if (found->second.state == Connection::Closing) --closing;
    auto client = perClient.find(found->second.client);
    if (client != perClient.end() && --client->second == 0) perClient.erase(client);
    // The descriptor closes here, under the lock, so close() can never shut a socket that
    // reused its number.
    connections.erase(found);
    // Also under the lock: once the last connection has left, the server stops looking at it.
    std::uint64_t one = 1;
    ssize_t ignored = ::write(ended.get(), &one, sizeof one);
    (void)ignored;  // the counter only saturates; the loop is awake either way
}

void ConnectionTable::closeSilent() {
    MutexLock guard(lock);
    for (auto& entry : connections) {
        if (entry.second.state == Connection::Silent) close(entry.second);
    }
}

std::size_t ConnectionTable::size() const {
    MutexLock guard(lock);
    return connections.size();
}

void ConnectionTable::close(Connection& connection) {
    connection.state = Connection::Closing;
    ++closing;
    ::shutdown(connection.fd.get(), SHUT_RDWR);
}

ConnectionTable::Table::iterator ConnectionTable::longestSilent(const std::string* client) {
    std::string crowding;
    if (client) {
        crowding = *client;
    } else {
        // The client that holds the most connections, among those with a silent one.
        unsigned most = 0;
        for (auto& entry : connections) {
            const Connection& connection = entry.second;
            if (connection.state == Connection::Silent && perClient[connection.client] > most) {
                most = perClient[connection.client];
                crowding = connection.client;
            }
        }
        if (most == 0) return connections.end();
    }
    // Names grow in the order of arrival: the first silent one is the longest silent.
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (it->second.client == crowding && closable(it->second)) return it;
    }
    if (client) return connections.end();
    // Each silent one of that client has a request waiting to be read: any other's will do.
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (closable(it->second)) return it;
    }
    return connections.end();
}

bool ConnectionTable::closable(const Connection& connection) {
    if (connection.state != Connection::Silent) return false;
    if (connection.awaitingHead) return true;
    int unread = 0;
    // Should the kernel not say, the connection counts as silent, as it did before it asked.
    if (::ioctl(connection.fd.get(), FIONREAD, &unread) == 0 && unread > 0) return false;
    return connection.libraryFd < 0 || ::ioctl(connection.libraryFd, FIONREAD, &unread) != 0 ||
           unread == 0;
}
