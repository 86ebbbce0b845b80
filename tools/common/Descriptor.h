// Sole owner of one of a tool's descriptors: closed on every path.
#ifndef TOOLS_COMMON_DESCRIPTOR_H
#define TOOLS_COMMON_DESCRIPTOR_H

#include <unistd.h>

namespace tools {

class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd(other.fd) { other.fd = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset(other.fd);
            other.fd = -1;
        }
        return *this;
    }

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }
    // A close that fails has still released the descriptor: nothing to do about it.
    void reset(int newFd = -1) {
        if (fd >= 0) ::close(fd);
        fd = newFd;
    }

  private:
    int fd = -1;
};

}  // namespace tools

#endif
