// Turns a trace that rs232c-daemon recorded into the controller's side of that session.
#ifndef TOOLS_SIMULATOR_REPLAY_H
#define TOOLS_SIMULATOR_REPLAY_H

#include <istream>
#include <vector>

#include "ToolControllerSim.h"

namespace tcsim {

// Each command the daemon wrote ("tx") opens an exchange; what the daemon then read, until its
// next command, is the answer, with the recorded timing. The daemon reads a reply only after
// its 100 ms pause and records it when read, so each chunk is played 50 ms earlier than
// recorded (never before its command): a reply that came in time still does.
std::vector<ToolControllerSim::Exchange> recordedExchanges(std::istream& trace);

}  // namespace tcsim

#endif
