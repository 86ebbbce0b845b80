#include "service/ConnectionTable.h"

#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace {

// How many bytes written to a connection its client has acknowledged: it grows as long as the
// client takes its answer. A socket that cannot say counts as always taking.
std::uint64_t bytesTaken(int fd) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
        static std::atomic<std::uint64_t> counter{0};
        return counter += ConnectionTable::kMinProgress;
    }
    return info.tcpi_bytes_acked;
}

// The accept loop sleeps on these eventfds.
void wake(const FileDescriptor& eventFd) {
    std::uint64_t one = 1;
    ssize_t ignored = ::write(eventFd.get(), &one, sizeof one);
    (void)ignored;  // the counter only saturates; the loop wakes either way
}

void clear(const FileDescriptor& eventFd) {
    std::uint64_t count = 0;
    ssize_t ignored = ::read(eventFd.get(), &count, sizeof count);
    (void)ignored;  // nothing to read is as good as having read it
}

}  // namespace

ConnectionTable::ConnectionTable(Limits limits)
    : limits(limits),
      ended(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      answeredSignal(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!ended.isOpen() || !answeredSignal.isOpen()) {
        throw std::runtime_error("cannot create an eventfd");
    }
}

std::string ConnectionTable::clientOf(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text, sizeof text);
        return text;
    }
    if (peer.ss_family != AF_INET6) return text;
    in6_addr address = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&address)) {
        inet_ntop(AF_INET, &address.s6_addr[12], text, sizeof text);
        return text;
    }
    std::memset(&address.s6_addr[8], 0, 8);
    inet_ntop(AF_INET6, &address, text, sizeof text);
    return std::string(text) + "/64";
}

ConnectionTable::Room ConnectionTable::room() const {
    MutexLock guard(lock);
    if (connections.size() < limits.capacity) return Room::Free;
    // One closing connection at a time makes room; its end wakes the accept loop.
    return closing > 0 ? Room::Closing : Room::Full;
}

bool ConnectionTable::fullOfCalls() const {
    MutexLock guard(lock);
    if (connections.size() < limits.capacity) return false;
    for (const auto& entry : connections) {
        if (entry.second.state != Connection::Serving) return false;
    }
    return true;
}

std::vector<std::string> ConnectionTable::biggestHolders() const {
    MutexLock guard(lock);
    std::vector<std::string> biggest;
    unsigned most = 0;
    for (const auto& entry : perClient) {
        if (entry.second > most) biggest.clear();
        if (entry.second >= most) biggest.push_back(entry.first);
        most = std::max(most, entry.second);
    }
    return biggest;
}

bool ConnectionTable::closeLongestSilent(const std::string& client) {
    MutexLock guard(lock);
    if (connections.size() < limits.capacity || closing > 0) return false;
    auto victim = longestSilent(client);
    if (victim == connections.end()) return false;
    close(victim->second);
    return true;
}

ConnectionTable::Id ConnectionTable::admit(int fd, const std::string& client) {
    MutexLock guard(lock);
    if (perClient[client] >= limits.perClient) {
        auto victim = longestSilent(client);
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
    clear(ended);
}

void ConnectionTable::clearAnswered() {
    clear(answeredSignal);
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

bool ConnectionTable::closedHere(Id id) const {
    MutexLock guard(lock);
    auto found = connections.find(id);
    return found != connections.end() && found->second.state == Connection::Closing;
}

void ConnectionTable::readsFrom(Id id, int fd) {
    MutexLock guard(lock);
    auto found = connections.find(id);
    if (found != connections.end()) found->second.libraryFd = fd;
}

void ConnectionTable::answered(Id id) {
    MutexLock guard(lock);
    auto found = connections.find(id);
    if (found != connections.end() && found->second.state == Connection::Serving) {
        found->second.state = Connection::Answered;
        found->second.taken = bytesTaken(found->second.fd.get());
        found->second.takenSince = std::chrono::steady_clock::now();
        wake(answeredSignal);
    }
}

bool ConnectionTable::writingAnswers() const {
    MutexLock guard(lock);
    for (const auto& entry : connections) {
        if (entry.second.state == Connection::Answered) return true;
    }
    return false;
}

std::size_t ConnectionTable::closeStalledAnswers() {
    MutexLock guard(lock);
    std::size_t closed = 0;
    for (auto& entry : connections) {
        if (stalled(entry.second, kAnswerTimeout)) {
            close(entry.second);
            ++closed;
        }
    }
    return closed;
}

bool ConnectionTable::stalled(Connection& connection, std::chrono::steady_clock::duration limit) {
    if (connection.state != Connection::Answered) return false;
    auto now = std::chrono::steady_clock::now();
    std::uint64_t taken = bytesTaken(connection.fd.get());
    if (taken - connection.taken >= kMinProgress) {
        connection.taken = taken;
        connection.takenSince = now;
    }
    return now - connection.takenSince >= limit;
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
    wake(ended);
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

ConnectionTable::Table::iterator ConnectionTable::longestSilent(const std::string& client) {
    // Names grow in the order of arrival: the first silent one is the longest silent.
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (it->second.client == client && closable(it->second)) return it;
    }
    return connections.end();
}

bool ConnectionTable::closable(Connection& connection) {
    if (connection.state == Connection::Answered) return stalled(connection, kAnswerGrace);
    if (connection.state != Connection::Silent) return false;
    if (connection.awaitingHead) return true;
    int unread = 0;
    // Should the kernel not say, the connection counts as silent, as it did before it asked.
    if (::ioctl(connection.fd.get(), FIONREAD, &unread) == 0 && unread > 0) return false;
    return connection.libraryFd < 0 || ::ioctl(connection.libraryFd, FIONREAD, &unread) != 0 ||
           unread == 0;
}
