// Every time the line's protocol allows, in one place. The calls' windows are whole seconds, as
// the link object's operations take them.
#ifndef LINK_TIMING_H
#define LINK_TIMING_H

#include <chrono>

namespace timing {

// The time allowed for a reply line of most commands (FWD, RVS, RST, MOV, the checksummed
// frames), for each line of a dialogue, and for each line of send_cmd_ver_script.
constexpr std::chrono::seconds kCommandWindow{10};
// The window of the quick commands: STP, WIN, WOT, WRT, and each line of send_cmd_ver.
constexpr std::chrono::seconds kShortWindow{1};
// A call gives up after this many of its windows without the line it waits for, however many
// other lines arrive, so a chatty controller cannot hold the line for ever.
constexpr int kWindowsWithoutProgress = 3;
// The protocol's fixed pause: in the drain, after each write.
constexpr std::chrono::milliseconds kPause{100};
// A line that never falls silent would keep the drain going: at most this many pauses.
constexpr int kMaxDrainPasses = 10;
// A frame may wait this long for the line to take it, plus a millisecond a byte (a quarter of
// the line's own pace at 38400 baud).
constexpr std::chrono::seconds kWriteGrace{2};

// The longest a call without data flowing can hold the line: a drain that never falls silent,
// three windows of the longest kind without progress, and the pauses around them. A dialogue
// whose controller keeps sending data lines lasts longer, by design.
constexpr std::chrono::seconds kLongestQuietCall =
    std::chrono::duration_cast<std::chrono::seconds>(kMaxDrainPasses * kPause + kWriteGrace +
                                                     kWindowsWithoutProgress * kCommandWindow +
                                                     2 * kPause) +
    std::chrono::seconds(1);

}  // namespace timing

#endif
