// The simulator's control language, one command per line, for people and for test scripts:
//   on "FWD\r\n" send "FWD\r\n"      answer a line that begins with the prefix
//   on-frame send "SOK\r\n"           answer checksummed frames no prefix rule took
//   play send "CUP\r\n"               send of the controller's own accord, now
//   defaults | clear-rules | received | clear-received | hangup | quit | help
//   strict (a line no rule answers is a protocol error) | errors (how many so far)
//   unread (bytes sent that wait unread on the daemon's side)
//   wait-received N [MS] | wait-line "HEAD" [MS] | wait-unread N [MS] | wait-idle [MS]
//     wait for an event: bytes received, a line received, bytes unread on the daemon's side,
//     every answer sent
// Steps: send "BYTES", frame "TEXT", delay MS, expect "HEAD", flood MS, silent.
// Strings take C escapes (\r \n \t \0 \\ \" \xHH); "{rest}" in a send or frame stands for what
// followed the prefix in the received line.
#ifndef TOOLS_SIMULATOR_CONTROLSCRIPT_H
#define TOOLS_SIMULATOR_CONTROLSCRIPT_H

#include <string>
#include <vector>

#include "ToolControllerSim.h"

namespace tcsim {

// Splits a command line into words; a quoted word is unescaped. Throws on a malformed line.
std::vector<std::string> tokenize(const std::string& line);

// Parses steps from words[from..]; throws std::invalid_argument on an unknown step.
Script parseSteps(const std::vector<std::string>& words, std::size_t from);

// Runs one command line against `sim`; returns the text to print ("ok", a listing, or
// "error: ..."), and sets `quit` on "quit".
std::string runCommand(ToolControllerSim& sim, const std::string& line, bool& quit);

}  // namespace tcsim

#endif
