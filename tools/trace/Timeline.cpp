#include "Timeline.h"

#include <cctype>
#include <vector>

#include "Escapes.h"

namespace timeline {

namespace {

// A call is recorded when it ends, after the bytes it sent and received, so its line's events
// are held until its call line comes and then printed under it, as in a file. But a call may
// wait on a silent line for seconds (a window is 10 s, a dialogue longer), and a person
// watching live must see the command go out: what is held is shown after this long at the
// latest, the rest of that call's events as they come, and its call line after them. Most
// commands end within it, so they print as in a file; a file read at once always does.
constexpr auto kHoldForCall = std::chrono::milliseconds(500);
// Events held at most without a call (a trace of bytes only): memory stays bounded.
constexpr std::size_t kMostHeld = 10000;
constexpr const char* kIndent = "    ";

// What an event needs to be printed: its string fields and its number fields.
struct Shape {
    const char* event;
    std::vector<const char*> strings;
    std::vector<const char*> numbers;
};

// Every event the daemon writes.
const Shape kShapes[] = {
    {"tx", {"hex"}, {}},
    {"rx", {"hex"}, {}},
    {"drain", {"hex"}, {}},
    {"discard", {"hex"}, {}},
    {"call", {"client", "method"}, {"ms"}},
    {"refused-call", {"client", "reason"}, {}},
    {"open", {"port"}, {}},
    {"close", {"port"}, {}},
    {"hangup", {"port"}, {}},
    {"refused", {"port", "reason"}, {}},
    {"dropped", {}, {"count"}},
    {"start", {"version", "port"}, {"tcp"}},
    {"stop", {}, {}},
};

// Fields that some events have; where they are, they are strings.
const char* const kOptionalStrings[] = {"reason", "failure", "meaning", "fault"};

// "2026-12-08T14:14:18.713748Z": digits where the pattern has d, then a fraction and Z.
bool isTraceTime(const std::string& time) {
    const std::string pattern = "dddd-dd-ddTdd:dd:dd";
    if (time.size() < pattern.size() + 1 || time.back() != 'Z') return false;
    for (std::size_t i = 0; i < time.size() - 1; ++i) {
        char want = i < pattern.size() ? pattern[i] : i == pattern.size() ? '.' : 'd';
        bool digit = time[i] >= '0' && time[i] <= '9';
        if (want == 'd' ? !digit : time[i] != want) return false;
    }
    return true;
}

// "46 57 44": two hexadecimal digits a byte, a space between.
bool isHex(const std::string& hex) {
    for (std::size_t i = 0; i < hex.size(); ++i) {
        bool space = i % 3 == 2;
        if (space ? hex[i] != ' ' : !std::isxdigit(static_cast<unsigned char>(hex[i]))) {
            return false;
        }
    }
    return hex.empty() || hex.size() % 3 == 2;
}

bool usable(const tracefile::Event& event) {
    if (!isTraceTime(event.field.at("time"))) return false;
    for (const char* key : kOptionalStrings) {
        if (event.field.count(key) && !event.hasString(key)) return false;
    }
    for (const Shape& shape : kShapes) {
        if (event.name != shape.event) continue;
        for (const char* key : shape.strings) {
            if (!event.hasString(key)) return false;
        }
        for (const char* key : shape.numbers) {
            if (!event.hasNumber(key)) return false;
        }
    }
    if (event.field.count("hex") && !isHex(event.field.at("hex"))) return false;
    if (event.name == "call") {
        bool result = event.hasString("result") || event.hasNumber("result");
        return event.hasString("fault") || (result && event.hasString("meaning"));
    }
    return true;
}

// A title or a rendering uses no line: it may be answered while another call holds it.
bool usesLine(const std::string& method) {
    return method.rfind("send_cmd", 0) == 0 || method == "recv_cmd_inf" || method == "serial_close";
}

// A field as a person reads it: its characters, each control character escaped.
std::string field(const tracefile::Event& event, const char* key) {
    auto found = event.field.find(key);
    return found == event.field.end() ? "" : escapes::escape(found->second, escapes::Shown::Text);
}

// The client's address, and its certificate's name where it presented one.
std::string who(const tracefile::Event& event) {
    std::string name = field(event, "cn");
    return field(event, "client") + (event.hasString("cn") ? " [" + name + "]" : "");
}

// Bytes of the line, or a string as the daemon received or answered it.
std::string bytes(const std::string& value) {
    return escapes::escape(value);
}

// "2026-12-08T14:14:18.104692Z" as "2026-12-08 14:14:18.104692".
std::string when(const tracefile::Event& event) {
    std::string time = field(event, "time");
    time[10] = ' ';
    time.pop_back();
    return time;
}

std::string describe(const tracefile::Event& event) {
    const std::string& name = event.name;
    std::string line =
        bytes(tracefile::fromHex(event.field.count("hex") ? event.field.at("hex") : ""));
    if (name == "tx")
        return "> " + line +
               (field(event, "failure").empty() ? "" : "  (" + field(event, "failure") + ")");
    if (name == "rx") return "< " + line;
    if (name == "drain") return "< " + line + "  (stale, drained before the command)";
    if (name == "discard") return "< " + line + "  (stale, discarded when the line was set up)";
    if (name == "open") return "opened " + field(event, "port");
    if (name == "close") {
        std::string why = field(event, "reason");
        return "closed " + field(event, "port") + (why.empty() ? "" : ": " + why);
    }
    if (name == "hangup") return "the adapter hung up: closed " + field(event, "port");
    if (name == "refused")
        return "cannot open " + field(event, "port") + ": " + field(event, "reason");
    if (name == "refused-call") return who(event) + "  refused: " + field(event, "reason");
    if (name == "dropped") return "(the record dropped " + field(event, "count") + " events here)";
    return escapes::escape(name, escapes::Shown::Text);
}

std::string call(const tracefile::Event& event) {
    std::string text = who(event) + "  " + field(event, "method") + "(";
    for (std::size_t i = 0; i < event.params.size(); ++i) {
        text += (i ? ", \"" : "\"") + bytes(event.params[i]) + "\"";
    }
    text += ")  -> ";
    if (event.hasString("fault")) {
        text += "fault: " + field(event, "fault");
    } else {
        text += (event.hasNumber("result") ? field(event, "result")
                                           : "\"" + bytes(event.field.at("result")) + "\"") +
                ": " + field(event, "meaning");
    }
    return text + "  (" + field(event, "ms") + " ms)";
}

}  // namespace

bool isEventName(const std::string& name) {
    for (const Shape& shape : kShapes) {
        if (name == shape.event) return true;
    }
    return false;
}

std::string eventNames() {
    std::string names;
    for (const Shape& shape : kShapes)
        names += (names.empty() ? "" : ", ") + std::string(shape.event);
    return names;
}

void Timeline::add(const std::string& line) {
    tracefile::Event event;
    if (!tracefile::parseLine(line, event) || !usable(event)) {
        if (eventSeen && line.find_first_not_of(" \t\r") != std::string::npos) ++unreadableLines;
        return;
    }
    eventSeen = true;
    if (event.name == "call") {
        addCall(event);
    } else if (event.name == "start" || event.name == "stop") {
        release("");
        streaming = false;
        if (filter.methods.empty()) show("", event);
    } else if (streaming) {
        show(indent(), event);
    } else {
        if (held.empty()) heldSince = Clock::now();
        held.push_back(std::move(event));
        if (held.size() > kMostHeld) {
            if (filter.methods.empty()) {
                showHeld();
            } else {
                held.pop_front();
            }
        }
    }
}

void Timeline::addCall(const tracefile::Event& event) {
    const std::string& method = event.field.at("method");
    bool chosen = filter.methods.empty() || filter.methods.count(method);
    if (!usesLine(method)) {  // what is held is another call's
        if (chosen) show("", event);
        return;
    }
    bool shownBefore = streaming;  // its events were printed as they came: the call ends them
    streaming = false;
    if (!chosen) {
        held.clear();
        return;
    }
    if (!shownBefore) show("", event);
    release(indent());
    if (shownBefore) show("", event);
}

std::optional<Clock::time_point> Timeline::showHeldBy() const {
    // Nothing is shown before the end when only the last calls are printed.
    if (held.empty() || !filter.methods.empty() || lastCalls) return std::nullopt;
    return heldSince + kHoldForCall;
}

void Timeline::showHeld() {
    release(indent());
    streaming = true;
}

void Timeline::finish() {
    release("");
    streaming = false;
    for (const Block& block : kept) out << block.text;
    kept.clear();
    keptCalls = 0;
}

void Timeline::release(const char* indent) {
    for (const tracefile::Event& event : held) show(indent, event);
    held.clear();
}

// Under a call line, unless call lines are filtered out.
const char* Timeline::indent() const {
    return filter.events.empty() || filter.events.count("call") ? kIndent : "";
}

void Timeline::show(const char* indent, const tracefile::Event& event) {
    if (!filter.events.empty() && !filter.events.count(event.name)) return;
    if (event.name == "call") {
        emit(when(event) + "  " + call(event) + "\n", true, true);
    } else if (event.name == "start") {
        emit(when(event) + "  daemon start " + field(event, "version") + ", line " +
                 field(event, "port") + ", TCP port " + field(event, "tcp") + "\n",
             true, false);
    } else if (event.name == "stop") {
        std::string why = field(event, "reason");
        emit(when(event) + "  daemon stop" + (why.empty() ? "" : " (" + why + ")") + "\n", true,
             false);
    } else {
        emit(indent + when(event).substr(11) + "  " + describe(event) + "\n", *indent == '\0',
             false);
    }
}

void Timeline::emit(const std::string& text, bool topLevel, bool isCall) {
    if (!lastCalls) {
        out << text;
        return;
    }
    if (topLevel || kept.empty()) {
        kept.push_back({isCall, ""});
        keptCalls += isCall;
    }
    kept.back().text += text;
    // What came before the first of the last calls goes.
    while (keptCalls > lastCalls) {
        keptCalls -= kept.front().call;
        kept.pop_front();
        while (!kept.empty() && !kept.front().call) kept.pop_front();
    }
}

}  // namespace timeline
