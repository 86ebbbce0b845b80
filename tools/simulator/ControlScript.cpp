#include "ControlScript.h"

#include <cstdio>
#include <stdexcept>

#include "Escapes.h"

namespace tcsim {

namespace {

int number(const std::string& word) {
    std::size_t used = 0;
    int value = -1;
    try {
        value = std::stoi(word, &used);
    } catch (const std::logic_error&) {
        used = 0;  // not a number, or too large for one
    }
    if (used != word.size() || value < 0) throw std::invalid_argument("bad number " + word);
    return value;
}

// How long a wait command waits when it names no time.
constexpr int kDefaultWaitMs = 20000;

const char* const kHelp =
    "commands: on PREFIX STEP... | on-frame STEP... | play STEP... | defaults | clear-rules |\n"
    "          received | clear-received | strict | errors | unread | hangup | quit\n"
    "waits:    wait-received N [MS] | wait-line \"HEAD\" [MS] | wait-unread N [MS] |\n"
    "          wait-idle [MS]\n"
    "steps:    send \"BYTES\" | frame \"TEXT\" | delay MS | expect \"HEAD\" | flood MS | silent";

// A wait command's argument, and its time limit (words[2], if given).
struct WaitFor {
    std::string what;
    int ms;
};
WaitFor waitArguments(const std::vector<std::string>& words) {
    if (words.size() < 2 || words.size() > 3) {
        throw std::invalid_argument(words[0] + " takes what to wait for and, optionally, MS");
    }
    return {words[1], words.size() == 3 ? number(words[2]) : kDefaultWaitMs};
}

}  // namespace

std::vector<std::string> tokenize(const std::string& line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        char c = line[at];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++at;
            continue;
        }
        if (c == '#') break;
        std::string word;
        if (c != '"') {
            while (at < line.size() && line[at] != ' ' && line[at] != '\t') word += line[at++];
            words.push_back(word);
            continue;
        }
        std::size_t start = ++at;
        for (; at < line.size() && line[at] != '"'; ++at) {
            if (line[at] == '\\') ++at;
        }
        if (at >= line.size()) throw std::invalid_argument("unterminated string");
        if (!escapes::unescape(line.substr(start, at - start), word)) {
            throw std::invalid_argument("bad escape in a string");
        }
        ++at;
        words.push_back(word);
    }
    return words;
}

Script parseSteps(const std::vector<std::string>& words, std::size_t from) {
    Script script;
    for (std::size_t i = from; i < words.size(); ++i) {
        const std::string& kind = words[i];
        if (kind == "silent") continue;
        if (i + 1 >= words.size()) throw std::invalid_argument(kind + " needs an argument");
        const std::string& argument = words[++i];
        if (kind == "send") {
            script.push_back(send(argument));
        } else if (kind == "frame") {
            script.push_back(frame(argument));
        } else if (kind == "expect") {
            script.push_back(expect(argument));
        } else if (kind == "delay") {
            script.push_back(delay(number(argument)));
        } else if (kind == "flood") {
            script.push_back(flood(number(argument)));
        } else {
            throw std::invalid_argument("unknown step " + kind);
        }
    }
    return script;
}

std::string runCommand(ToolControllerSim& sim, const std::string& line, bool& quit) {
    try {
        std::vector<std::string> words = tokenize(line);
        if (words.empty()) return "";
        const std::string& command = words[0];
        if (command == "on") {
            if (words.size() < 2) throw std::invalid_argument("on needs a prefix");
            sim.on(words[1], parseSteps(words, 2));
        } else if (command == "on-frame") {
            sim.onFrame(parseSteps(words, 1));
        } else if (command == "play") {
            sim.play(parseSteps(words, 1));
        } else if (command == "defaults") {
            sim.useDefaults();
        } else if (command == "clear-rules") {
            sim.clearRules();
        } else if (command == "received") {
            std::string hex;
            for (unsigned char c : sim.received()) {
                char two[3];
                std::snprintf(two, sizeof two, "%02X", c);
                hex += two;
            }
            return "received " + hex;
        } else if (command == "strict") {
            sim.setStrict(true);
        } else if (command == "wait-received") {
            WaitFor wait = waitArguments(words);
            if (!sim.waitForBytes(number(wait.what), wait.ms)) {
                return "error: timed out with " + std::to_string(sim.received().size()) +
                       " bytes received";
            }
        } else if (command == "wait-line") {
            WaitFor wait = waitArguments(words);
            if (!sim.waitForLine(wait.what, wait.ms)) {
                return "error: timed out: no line " + escapes::escape(wait.what) + " received";
            }
        } else if (command == "wait-unread") {
            WaitFor wait = waitArguments(words);
            if (!sim.waitForPending(number(wait.what), wait.ms)) {
                return "error: timed out with " + std::to_string(sim.pendingOnLine()) +
                       " bytes unread";
            }
        } else if (command == "wait-idle") {
            if (words.size() > 2) throw std::invalid_argument("wait-idle takes at most MS");
            if (!sim.waitForIdle(words.size() == 2 ? number(words[1]) : kDefaultWaitMs)) {
                return "error: timed out: the simulator is still answering";
            }
        } else if (command == "unread") {
            return "unread " + std::to_string(sim.pendingOnLine());
        } else if (command == "errors") {
            return "errors " + std::to_string(sim.protocolErrors());
        } else if (command == "clear-received") {
            sim.clearReceived();
        } else if (command == "hangup") {
            sim.hangUp();
        } else if (command == "quit") {
            quit = true;
        } else if (command == "help") {
            return kHelp;
        } else {
            throw std::invalid_argument("unknown command " + command + " (try help)");
        }
        return "ok";
    } catch (const std::exception& error) {
        return std::string("error: ") + error.what();
    }
}

}  // namespace tcsim
