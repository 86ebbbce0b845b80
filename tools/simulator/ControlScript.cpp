#include "ControlScript.h"

#include <cstdio>
#include <stdexcept>

#include "Escapes.h"

namespace tcsim {

namespace {

int number(const std::string& word) {
    std::size_t used = 0;
    int value = std::stoi(word, &used);
    if (used != word.size() || value < 0) throw std::invalid_argument("bad number " + word);
    return value;
}

const char* const kHelp =
    "commands: on PREFIX STEP... | on-frame STEP... | play STEP... | defaults | clear-rules |\n"
    "          received | clear-received | strict | errors | hangup | quit\n"
    "steps:    send \"BYTES\" | frame \"TEXT\" | delay MS | expect \"HEAD\" | flood MS | silent";

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
