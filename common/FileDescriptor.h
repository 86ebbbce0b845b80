// Sole owner of one open descriptor: closed on every path.
#ifndef COMMON_FILEDESCRIPTOR_H
#define COMMON_FILEDESCRIPTOR_H

#include <unistd.h>

class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd(other.fd) { other.fd = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.fd);
            other.fd = -1;
        }
        return *this;
    }

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }
    // Closes what it held (a close that fails has still released the descriptor) and takes
    // `newFd`.
    void reset(int newFd = -1) {
        if (fd >= 0) ::close(fd);
        fd = newFd;
    }

  private:
    int fd = -1;
};

#endif
