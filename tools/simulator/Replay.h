// Turns a trace that rs232c-daemon recorded into the controller's side of that session.
#ifndef TOOLS_SIMULATOR_REPLAY_H
#define TOOLS_SIMULATOR_REPLAY_H

#include <istream>
#include <vector>

#include "ToolControllerSim.h"

namespace tcsim {

// No exchange waits a day for a byte; a trace's "mono" can hold any number (a hostile or broken
// one, 1e308), and its gaps must still make a delay that an int of milliseconds holds.
constexpr double kLongestDelaySeconds = 24 * 3600;

// Each command the daemon wrote ("tx") opens an exchange; what the daemon then read, until its
// next command, is the answer, with the recorded timing. The daemon reads a reply only after
// its 100 ms pause and records it when read, so each chunk is played a whole pause earlier than
// recorded (never before its command): a reply read right after the pause is played as soon as
// its command arrives, and still comes in time on a loaded machine. A gap longer than
// kLongestDelaySeconds is played as that long.
std::vector<ToolControllerSim::Exchange> recordedExchanges(std::istream& trace);

}  // namespace tcsim

#endif
