#include "TraceFile.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tracefile {

namespace {

void skipSpace(const std::string& s, std::size_t& at) {
    while (at < s.size() && (s[at] == ' ' || s[at] == '\t')) ++at;
}

void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A JSON string at `at` (its opening quote). The trace writes each byte as a character of the
// same code, so \u00XX is the byte XX.
bool string(const std::string& s, std::size_t& at, std::string& out) {
    if (at >= s.size() || s[at] != '"') return false;
    for (++at; at < s.size(); ++at) {
        char c = s[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++at >= s.size()) return false;
        switch (s[at]) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u': {
                if (at + 4 >= s.size()) return false;
                char* end = nullptr;
                std::string digits = s.substr(at + 1, 4);
                unsigned cp = static_cast<unsigned>(std::strtoul(digits.c_str(), &end, 16));
                if (end != digits.c_str() + 4) return false;
                if (cp < 0x100) {
                    out += static_cast<char>(cp);
                } else {
                    appendUtf8(out, cp);
                }
                at += 4;
                break;
            }
            default:
                out += s[at];  // \" \\ \/
        }
    }
    return false;
}

}  // namespace

bool parse(const std::string& line, Event& event) {
    event = Event();
    std::size_t at = 0;
    skipSpace(line, at);
    if (at >= line.size() || line[at++] != '{') return false;
    for (;;) {
        skipSpace(line, at);
        std::string key;
        if (!string(line, at, key)) return false;
        skipSpace(line, at);
        if (at >= line.size() || line[at++] != ':') return false;
        skipSpace(line, at);
        if (at < line.size() && line[at] == '"') {
            event.field[key].clear();
            if (!string(line, at, event.field[key])) return false;
            event.strings.insert(key);
        } else if (at < line.size() && line[at] == '[') {
            ++at;
            skipSpace(line, at);
            while (at < line.size() && line[at] != ']') {
                std::string item;
                if (!string(line, at, item)) return false;
                event.params.push_back(item);
                skipSpace(line, at);
                if (at < line.size() && line[at] == ',') ++at;
                skipSpace(line, at);
            }
            if (at++ >= line.size()) return false;
        } else {
            std::size_t end = line.find_first_of(",}", at);
            if (end == std::string::npos) return false;
            std::size_t last = line.find_last_not_of(" \t", end - 1);
            event.field[key] =
                line.substr(at, last == std::string::npos || last < at ? 0 : last + 1 - at);
            event.strings.erase(key);
            at = end;
        }
        skipSpace(line, at);
        if (at >= line.size()) return false;
        if (line[at] == '}') break;
        if (line[at++] != ',') return false;
    }
    ++at;
    skipSpace(line, at);
    if (at < line.size() && line[at] == '\r') ++at;
    if (at != line.size()) return false;
    if (!event.hasString("event") || !event.hasString("time") || !event.hasNumber("mono")) {
        return false;
    }
    event.name = event.field["event"];
    event.mono = std::strtod(event.field["mono"].c_str(), nullptr);
    return true;
}

bool Event::hasNumber(const std::string& key) const {
    auto found = field.find(key);
    if (found == field.end() || strings.count(key)) return false;
    const std::string& text = found->second;
    if (text.empty() || !(text[0] == '-' || (text[0] >= '0' && text[0] <= '9'))) return false;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

bool parseLine(const std::string& line, Event& event) {
    if (parse(line, event)) return true;
    // The event is JSON, so it begins with "{": the first ": {" ends the prefix.
    std::size_t message = line.find(": {");
    return message != std::string::npos && parse(line.substr(message + 2), event);
}

std::vector<Event> read(std::istream& in, std::size_t* skipped) {
    std::vector<Event> events;
    Event event;
    for (std::string line; std::getline(in, line);) {
        if (parseLine(line, event)) {
            events.push_back(event);
        } else if (skipped && line.find_first_not_of(" \t\r") != std::string::npos) {
            ++*skipped;
        }
    }
    return events;
}

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 3) {
        bytes += static_cast<char>(std::strtoul(hex.substr(at, 2).c_str(), nullptr, 16));
    }
    return bytes;
}

void LineSplitter::feed(const char* data, std::size_t size, const Handler& line) {
    while (size > 0) {
        const char* end = static_cast<const char*>(std::memchr(data, '\n', size));
        std::size_t part = end ? static_cast<std::size_t>(end - data) : size;
        if (!skipping && rest.size() + part > longest) {
            skipping = true;
            rest.clear();
            ++tooLongLines;
        }
        if (!skipping) rest.append(data, part);
        if (!end) return;
        if (!skipping) line(rest);
        rest.clear();
        skipping = false;
        data += part + 1;
        size -= part + 1;
    }
}

void LineSplitter::finish(const Handler& line) {
    if (!skipping && !rest.empty()) line(rest);
    rest.clear();
    skipping = false;
}

}  // namespace tracefile
