// Where rs232c-trace reads: a stream read to its end (standard input, a pipe, a file given by
// name), or the file that rs232c-daemon --trace writes, followed as it grows and across its
// rotation. Neither ever blocks: the reader waits in poll() for the source's descriptor.
#ifndef TOOLS_TRACE_INPUT_H
#define TOOLS_TRACE_INPUT_H

#include <cstddef>
#include <memory>
#include <string>

#include "TraceFile.h"

namespace input {

class Source {
  public:
    enum class State { More, Ended, Failed };

    virtual ~Source() = default;
    // Readable when there may be more to read.
    virtual int waitFd() const = 0;
    // Reads what is there now, handing each whole line to `line`; Failed with the reason.
    virtual State read(const tracefile::LineSplitter::Handler& line, std::string& problem) = 0;
    // Lines skipped for their length.
    virtual std::size_t tooLong() const = 0;
};

// Standard input for "-", else the file PATH. Null, with the reason, when it cannot be opened.
std::unique_ptr<Source> openStream(const std::string& path, std::string& problem);

// The file PATH from its start, then each line as it is written. When the daemon rotates it
// (PATH becomes PATH.1, a new PATH begins), the old file is read to its end before the new one.
// PATH need not exist yet; its folder must. Null, with the reason, when it cannot be watched.
std::unique_ptr<Source> follow(const std::string& path, std::string& problem);

}  // namespace input

#endif
