// rs232c-call: calls one method of rs232c-daemon and says what the result means.
//   rs232c-call [--host HOST] [--port PORT] [--timeout SECONDS] [--raw]
//               [--tls [--cacert FILE] [--cert FILE --key FILE]] METHOD [ARG]
// Exit status: 0 the call was answered, 1 the daemon answered with a fault, 2 a usage error,
// 3 the daemon could not be reached or did not answer in time.
#include <xmlrpc-c/base.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <string>
#include <thread>
#include <xmlrpc-c/client.hpp>
#include <xmlrpc-c/xml.hpp>

#include "Escapes.h"
#include "Response.h"

namespace {

// How a result reads to a person.
enum class Meaning {
    ClientText,   // text a client gave, or the daemon's own (a title, a rendering)
    Bytes,        // the controller's bytes, or a status word
    Code,         // a command's result code
    VersionCode,  // the version query's code
    Status,       // the status poll
    Close,
};

struct Method {
    const char* name;
    const char* argument;  // what the argument is; "" when the method takes none
    Meaning meaning;
};

const Method kMethods[] = {
    {"get_title", "", Meaning::ClientText},
    {"set_title", "TITLE", Meaning::ClientText},
    {"get_message", "NAME", Meaning::ClientText},
    {"send_cmd", "TEXT", Meaning::Bytes},
    {"send_cmd_com", "TEXT", Meaning::Code},
    {"send_cmd_cos", "", Meaning::Bytes},
    {"send_cmd_cst", "TEXT", Meaning::Code},
    {"send_cmd_chs", "CHANNEL", Meaning::Bytes},
    {"send_cmd_fwd", "", Meaning::Code},
    {"send_cmd_rvs", "", Meaning::Code},
    {"send_cmd_stp", "", Meaning::Code},
    {"send_cmd_ch", "CHANNEL", Meaning::Code},
    {"send_cmd_rst", "", Meaning::Code},
    {"send_cmd_win", "", Meaning::Code},
    {"send_cmd_wot", "", Meaning::Code},
    {"send_cmd_wot_with_wng", "", Meaning::Code},
    {"send_cmd_wrt", "", Meaning::Code},
    {"recv_cmd_inf", "", Meaning::Status},
    {"serial_close", "", Meaning::Close},
    {"get_last_recv_data_bin_str", "", Meaning::ClientText},
    {"get_last_recv_data_str", "", Meaning::ClientText},
    {"send_cmd_ver", "", Meaning::Bytes},
    {"send_cmd_ver_script", "", Meaning::VersionCode},
};

// How long a call may take by default. The longest bounded call takes about 30 s: a command
// gives up after three 10-second windows without its reply, and a COS or CHS dialogue after 30 s
// without a data line (while data flows it has no overall bound). Serial calls also wait for
// the call before them, which may take as long again; beyond that, the daemon is stuck or the
// server is not the daemon.
constexpr double kDefaultTimeoutSeconds = 60;
// Longer than a day is no time limit a person means.
constexpr double kLongestTimeoutSeconds = 86400;

// The daemon keeps up to 1 MiB of received bytes; their hexadecimal rendering is three
// characters a byte, so a response may be well over 3 MiB.
constexpr std::size_t kResponseLimit = 16 << 20;

const char* const kLineFailed =
    "the serial line failed (adapter unplugged? the daemon has let it go; plug it back in)";

void printUsage(std::ostream& out) {
    out << "usage: rs232c-call [--host HOST] [--port PORT] [--timeout SECONDS] [--raw]\n"
           "                   [--tls [--cacert FILE] [--cert FILE --key FILE]] METHOD [ARG]\n"
           "       rs232c-call --help | --version\n"
           "Calls one method of rs232c-daemon and says what the result means; --raw prints only\n"
           "the value; --timeout gives up after SECONDS (default 60). ARG takes C escapes (\\r,\n"
           "\\n, \\t, \\0, \\\\, \\\", \\xHH). --tls calls https://, trusting the CAs of\n"
           "--cacert (default: the system's) and presenting the certificate of --cert and\n"
           "--key (PEM). Methods:\n";
    for (const Method& method : kMethods) {
        out << "  " << method.name << (*method.argument ? " " : "") << method.argument << "\n";
    }
}

int usageError(const std::string& problem) {
    std::cerr << "rs232c-call: " << problem << " (see rs232c-call --help)\n";
    return 2;
}

// The controller's bytes from the daemon's string: a control picture is its control byte, a
// character below U+0100 its byte, any other character the UTF-8 sent as such.
std::string controllerBytes(const std::string& utf8) {
    std::string bytes;
    for (std::size_t i = 0; i < utf8.size();) {
        auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        length = std::min(length, utf8.size() - i);
        unsigned cp = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) cp = cp << 6 | (utf8[i + k] & 0x3F);
        if (cp >= 0x2400 && cp <= 0x241F) {
            bytes.push_back(static_cast<char>(cp - 0x2400));
        } else if (cp < 0x100) {
            bytes.push_back(static_cast<char>(cp));
        } else {
            bytes.append(utf8, i, length);
        }
        i += length;
    }
    return bytes;
}

// Quotes text for a person: CR, LF and other control bytes (and, for bytes, anything beyond
// ASCII) are escaped, nothing is altered.
std::string visible(const std::string& text, Meaning meaning) {
    return "\"" +
           escapes::escape(
               text, meaning == Meaning::Bytes ? escapes::Shown::Bytes : escapes::Shown::Text) +
           "\"";
}

std::string explainCode(long code, Meaning meaning) {
    switch (code) {
        case 1:
            return meaning == Meaning::VersionCode ? "the controller sent its two version lines"
                                                   : "acknowledged: the expected reply came";
        case 0:
            return "refused: the controller answered CER";
        case -1:
            return "the serial adapter could not be opened";
        case -2:
            return "no reply in time";
        case -3:
            return kLineFailed;
    }
    return "an unknown code";
}

std::string explainStatus(long code) {
    switch (code) {
        case 0:
            return "no status line was waiting";
        case 1:
            return "status OK";
        case 2:
            return "status WNG or FNG";
        case 3:
            return "status CUP";
        case 5:
            return "status FSP";
        case 6:
            return "status FSC";
        case -1:
            return "the serial adapter could not be opened";
        case -3:
            return kLineFailed;
    }
    return "an unknown status";
}

std::string explainText(const std::string& text, Meaning meaning) {
    if (meaning == Meaning::ClientText) return visible(text, meaning);
    if (text == "open_error") return "open_error: the serial adapter could not be opened";
    if (text == "recv_error") return std::string("recv_error: ") + kLineFailed;
    if (text == "recv_timeout") return "recv_timeout: no reply in time";
    if (text == "CER\r\n") return "\"CER\\r\\n\": refused by the controller";
    return visible(controllerBytes(text), meaning);
}

void show(const Method& method, const Response& result, bool raw) {
    if (result.kind == Response::Int) {
        long code = result.number;
        if (raw) {
            std::cout << code << "\n";
        } else if (method.meaning == Meaning::Status) {
            std::cout << code << " (" << explainStatus(code) << ")\n";
        } else if (method.meaning == Meaning::Close) {
            std::cout << code << " (the held serial port is released)\n";
        } else {
            std::cout << code << " (" << explainCode(code, method.meaning) << ")\n";
        }
    } else if (raw) {
        std::cout << result.text << "\n";
    } else {
        std::cout << explainText(result.text, method.meaning) << "\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "localhost", port = "40405";
    double timeoutSeconds = kDefaultTimeoutSeconds;
    bool raw = false, tls = false;
    std::string cacert, certificate, key;
    int at = 1;
    for (; at < argc && argv[at][0] == '-' && argv[at][1] == '-'; ++at) {
        std::string option = argv[at], value;
        bool attached = option.find('=') != std::string::npos;
        if (attached) {
            value = option.substr(option.find('=') + 1);
            option = option.substr(0, option.find('='));
        }
        if (option == "--help" || option == "--version") {
            if (option == "--help") {
                printUsage(std::cout);
            } else {
                std::cout << "rs232c-call " RS232C_VERSION "\n";
            }
            return 0;
        } else if (option == "--raw" && !attached) {
            raw = true;
        } else if (option == "--tls" && !attached) {
            tls = true;
        } else if (option == "--cacert" || option == "--cert" || option == "--key") {
            if (!attached && at + 1 >= argc) return usageError(option + " needs a value");
            std::string& file = option == "--cacert" ? cacert
                                : option == "--cert" ? certificate
                                                     : key;
            file = attached ? value : argv[++at];
        } else if (option == "--host" || option == "--port") {
            if (!attached && at + 1 >= argc) return usageError(option + " needs a value");
            (option == "--host" ? host : port) = attached ? value : argv[++at];
        } else if (option == "--timeout") {
            if (!attached && at + 1 >= argc) return usageError(option + " needs a value");
            if (!attached) value = argv[++at];
            char* end = nullptr;
            timeoutSeconds = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(timeoutSeconds > 0) ||
                timeoutSeconds > kLongestTimeoutSeconds) {
                return usageError("--timeout takes a number of seconds, above 0 and at most a day");
            }
        } else {
            return usageError("unknown option " + std::string(argv[at]));
        }
    }
    if (!tls && !(cacert.empty() && certificate.empty() && key.empty()))
        return usageError("--cacert, --cert and --key go with --tls");
    if (certificate.empty() != key.empty()) return usageError("--cert and --key go together");
    if (at >= argc) return usageError("which method?");
    const Method* method = nullptr;
    for (const Method& candidate : kMethods) {
        if (std::strcmp(candidate.name, argv[at]) == 0) method = &candidate;
    }
    if (!method) return usageError(std::string("no method ") + argv[at]);
    ++at;
    bool takesArgument = *method->argument != '\0';
    if (argc - at != (takesArgument ? 1 : 0)) {
        return usageError(
            std::string(method->name) +
            (takesArgument ? std::string(" takes one ") + method->argument : " takes no argument"));
    }

    xmlrpc_c::paramList params;
    if (takesArgument) {
        std::string bytes;
        if (!escapes::unescape(argv[at], bytes)) return usageError("ARG has a broken escape");
        params.add(xmlrpc_c::value_string(bytes));
    }
    std::string url = (tls ? "https://" : "http://") + host + ":" + port + "/RPC2";
    std::string responseXml;
    bool failed = false;
    std::string failure;
    // The call runs on a thread of its own, so that a server that accepts and never answers
    // costs no more than the time limit: xmlrpc-c's curl transport looks at a time-out of its
    // own only every 3 s.
    std::promise<void> finished;
    std::future<void> answered = finished.get_future();
    std::thread caller([&] {
        try {
            xmlrpc_limit_set(XMLRPC_XML_SIZE_LIMIT_ID, kResponseLimit);
            std::string callXml;
            xmlrpc_c::xml::generateCall(method->name, params, &callXml);
            // The daemon's certificate is checked, its name included, as curl checks it.
            xmlrpc_c::clientXmlTransport_curl::constrOpt options;
            if (!cacert.empty()) options.cainfo(cacert);
            if (!certificate.empty()) options.ssl_cert(certificate).sslkey(key);
            xmlrpc_c::clientXmlTransport_curl transport(options);
            xmlrpc_c::carriageParm_curl0 carriage(url);
            transport.call(&carriage, callXml, &responseXml);
        } catch (const std::exception& error) {
            failed = true;
            failure = error.what();
        }
        finished.set_value();
    });
    if (answered.wait_for(std::chrono::duration<double>(timeoutSeconds)) !=
        std::future_status::ready) {
        std::cerr << "rs232c-call: the daemon at " << url << " did not answer within "
                  << timeoutSeconds << " s (--timeout)" << std::endl;
        std::_Exit(3);  // the call still waits on its thread; nothing of it is needed any more
    }
    caller.join();
    if (failed) {
        std::cerr << "rs232c-call: cannot reach the daemon at " << url << ": " << failure
                  << "\nIs it running? (systemctl status rs232c-daemon)\n";
        return 3;
    }
    Response result = parseResponse(responseXml);
    if (result.kind == Response::Fault) {
        std::cerr << "rs232c-call: the daemon answered with fault " << result.number << ": "
                  << escapes::escape(result.text, escapes::Shown::Text) << "\n";
        return 1;
    }
    if (result.kind == Response::Unreadable) {
        std::cerr << "rs232c-call: " << url << " gave an answer that is no result: " << result.text
                  << "\n";
        return 3;
    }
    show(*method, result, raw);
    return 0;
}
