// The whole request path after HTTP, in one process: the request guard, then xmlrpc-c's parser
// and registry with the daemon's 23 methods, against a link object whose device does not exist
// (so no serial I/O happens). A crash inside the library is a crash of the daemon; whatever comes
// in, what goes out must be a response the client's library can read.
//
// Not crashing is not enough: the guard must read what the parser reads. So every document the
// guard passes is read a second time by Debian's expat (another copy than xmlrpc-c's), from
// exactly the text the guard hands on, and must show no i8, no document type and no nesting
// beyond the guard's limit. The mutator plays the encoding tricks that once split the two
// readings: byte order marks, declarations naming any encoding, bodies in either byte order.
#include <expat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/xml.hpp>

#include "FuzzCheck.h"
#include "RS232CCom.h"
#include "service/AbyssServer.h"
#include "service/RequestGuard.h"
#include "service/Utf8.h"

namespace {

// What the second reader saw.
struct Reading {
    int depth = 0;
    int deepest = 0;
    bool int64 = false;
    bool documentType = false;
};

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char**) {
    auto* reading = static_cast<Reading*>(data);
    reading->deepest = std::max(reading->deepest, ++reading->depth);
    const char* colon = std::strrchr(name, ':');
    if (std::strcmp(colon ? colon + 1 : name, "i8") == 0) reading->int64 = true;
}

void XMLCALL onEnd(void* data, const XML_Char*) {
    --static_cast<Reading*>(data)->depth;
}

void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<Reading*>(data)->documentType = true;
}

// The guard passed `text`: a plain parse of it must agree.
void readAgain(const std::string& text) {
    const std::size_t declaration = std::strlen(requestguard::kUtf8Declaration);
    check(text.compare(0, declaration, requestguard::kUtf8Declaration) == 0);
    XML_Parser parser = XML_ParserCreate(nullptr);
    check(parser != nullptr);
    Reading reading;
    XML_SetUserData(parser, &reading);
    XML_SetElementHandler(parser, onStart, onEnd);
    XML_SetStartDoctypeDeclHandler(parser, onDoctype);
    XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE);
    XML_Error error = XML_GetErrorCode(parser);
    XML_ParserFree(parser);
    check(!reading.int64 && !reading.documentType && reading.deepest <= requestguard::kMaxDepth);
    // The declaration the guard wrote must be the truth about the text.
    check(error != XML_ERROR_INCORRECT_ENCODING && error != XML_ERROR_UNKNOWN_ENCODING);
}

// --- The mutator's encoding tricks -----------------------------------------------------------

enum class Form { Utf8, Latin1, Utf16BE, Utf16LE };

const char* const kNames[] = {"UTF-8",      "utf-8",           "UTF-16",   "utf-16",
                              "UTF-16BE",   "utf-16be",        "UTF-16LE", "Utf-16le",
                              "ISO-8859-1", "iso-8859-1",      "US-ASCII", "us-ascii",
                              "latin1",     "windows-1252",    "UCS-4",    "UTF-32",
                              "EBCDIC-US",  "ISO-10646-UCS-2", "x"};

// A document taken apart: its mark, its declaration and its body as code points.
struct Parts {
    std::string mark;
    std::string declaration;  // ASCII, empty when there is none
    std::vector<unsigned> body;
};

Parts takeApart(const std::string& bytes) {
    Parts parts;
    Form form = Form::Utf8;
    for (const char* mark : {"\xEF\xBB\xBF", "\xFE\xFF", "\xFF\xFE"}) {
        if (bytes.compare(0, std::strlen(mark), mark) == 0) parts.mark = mark;
    }
    std::string rest = bytes.substr(parts.mark.size());
    if (parts.mark == "\xFE\xFF" || (rest.size() >= 2 && rest[0] == '\0')) form = Form::Utf16BE;
    if (parts.mark == "\xFF\xFE" || (rest.size() >= 2 && rest[0] && !rest[1])) form = Form::Utf16LE;
    std::vector<unsigned> points;
    if (form == Form::Utf8) {
        for (std::size_t i = 0; i < rest.size();) {
            unsigned point = 0;
            std::size_t length = utf8::sequence(rest, i, point);
            points.push_back(length ? point : static_cast<unsigned char>(rest[i]));
            i += length ? length : 1;
        }
    } else {
        for (std::size_t i = 0; i + 1 < rest.size(); i += 2) {
            auto high = static_cast<unsigned char>(rest[i]),
                 low = static_cast<unsigned char>(rest[i + 1]);
            points.push_back(form == Form::Utf16BE ? (high << 8 | low) : (low << 8 | high));
        }
    }
    std::size_t end = 0;
    if (points.size() > 5 && std::equal(points.begin(), points.begin() + 5, "<?xml")) {
        for (std::size_t i = 5; i + 1 < points.size() && !end; ++i) {
            if (points[i] == '?' && points[i + 1] == '>') end = i + 2;
        }
    }
    for (std::size_t i = 0; i < end; ++i) parts.declaration.push_back(static_cast<char>(points[i]));
    parts.body.assign(points.begin() + end, points.end());
    return parts;
}

void put(std::string& out, const std::vector<unsigned>& points, Form form) {
    for (unsigned point : points) {
        if (form == Form::Utf8) {
            if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) point = 0xFFFD;
            utf8::append(out, point);
        } else if (form == Form::Latin1) {
            out.push_back(static_cast<char>(point));
        } else {
            std::vector<unsigned> units{point};
            if (point > 0xFFFF)
                units = {0xD800 + ((point - 0x10000) >> 10), 0xDC00 + (point & 0x3FF)};
            for (unsigned unit : units) {
                char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit);
                out += form == Form::Utf16BE ? std::string{high, low} : std::string{low, high};
            }
        }
    }
}

std::string recode(const std::string& bytes, std::minstd_rand& random) {
    Parts parts = takeApart(bytes);
    auto chance = [&](unsigned in) { return random() % in == 0; };
    auto pick = [&](auto& from) { return from[random() % std::size(from)]; };
    const std::string marks[] = {"", "\xEF\xBB\xBF", "\xFE\xFF", "\xFF\xFE"};
    const Form forms[] = {Form::Utf8, Form::Latin1, Form::Utf16BE, Form::Utf16LE};
    if (chance(2)) parts.mark = pick(marks);
    if (chance(2)) {
        std::string quote = chance(2) ? "\"" : "'";
        parts.declaration = chance(5) ? ""
                                      : "<?xml version=" + quote + "1.0" + quote +
                                            " encoding=" + quote + pick(kNames) + quote + "?>";
    }
    // The declaration and the body each in a form of their own, as in the trick that split the
    // guard's reading from the parser's.
    Form body = pick(forms), declaration = chance(2) ? body : pick(forms);
    std::string out = parts.mark;
    std::vector<unsigned> points(parts.declaration.begin(), parts.declaration.end());
    put(out, points, declaration);
    put(out, parts.body, body);
    return out;
}

}  // namespace

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t maxSize, unsigned int seed) {
    std::minstd_rand random(seed);
    if (random() % 3) return LLVMFuzzerMutate(data, size, maxSize);
    std::string mutated = recode(std::string(reinterpret_cast<char*>(data), size), random);
    if (mutated.size() > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, mutated.data(), mutated.size());
    return mutated.size();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static RS232CCom com("/nonexistent/rs232c-fuzz/ttyUSB0");
    static AbyssServer server(&com);
    std::string request(reinterpret_cast<const char*>(data), size);
    requestguard::Inspection inspection = requestguard::inspect(request.data(), request.size());
    if (inspection.verdict == requestguard::Verdict::Pass) readAgain(inspection.text);
    std::string response = server.respond(request, nullptr);
    xmlrpc_c::rpcOutcome outcome;
    try {
        xmlrpc_c::xml::parseResponse(response, &outcome);
    } catch (...) {
        check(false);
    }
    return 0;
}
