#include "Replay.h"

#include <algorithm>

#include "TraceFile.h"

namespace tcsim {

namespace {

constexpr double kEarlierSeconds = 0.1;  // the daemon's pause after a command

}  // namespace

std::vector<ToolControllerSim::Exchange> recordedExchanges(std::istream& trace) {
    std::vector<ToolControllerSim::Exchange> exchanges;
    double commandAt = 0, lastAt = 0;
    for (const tracefile::Event& event : tracefile::read(trace)) {
        std::string bytes =
            tracefile::fromHex(event.field.count("hex") ? event.field.at("hex") : "");
        if (event.name == "tx") {
            exchanges.push_back({bytes, {}});
            commandAt = lastAt = event.mono;
        } else if ((event.name == "rx" || event.name == "drain" || event.name == "discard") &&
                   !exchanges.empty()) {
            double at = std::max(commandAt, event.mono - kEarlierSeconds);
            // Never negative (max), never beyond the bound (min; an infinite gap included).
            double gap = std::min(std::max(at, lastAt) - lastAt, kLongestDelaySeconds);
            int ms = static_cast<int>(gap * 1000 + 0.5);
            if (ms > 0) exchanges.back().answer.push_back(delay(ms));
            exchanges.back().answer.push_back(send(bytes));
            lastAt = std::max(at, lastAt);
        }
    }
    return exchanges;
}

}  // namespace tcsim
