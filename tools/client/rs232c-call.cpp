// rs232c-call: calls one method of rs232c-daemon and says what the result means.
//   rs232c-call [--host HOST] [--port PORT] [--raw] METHOD [ARG]
// Exit status: 0 the call was answered, 1 the daemon answered with a fault, 2 a usage error,
// 3 the daemon could not be reached.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <xmlrpc-c/client.hpp>
#include <xmlrpc-c/girerr.hpp>

namespace {

enum class Meaning { Title, Code, Status, VersionCode, Close, Text };

struct Method {
    const char* name;
    bool takesText;
    Meaning meaning;
    const char* argument;  // what the argument is, for the usage text
};

const Method kMethods[] = {
    {"get_title", false, Meaning::Title, ""},
    {"set_title", true, Meaning::Title, "TITLE"},
    {"get_message", true, Meaning::Title, "NAME"},
    {"send_cmd", true, Meaning::Text, "TEXT"},
    {"send_cmd_com", true, Meaning::Code, "TEXT"},
    {"send_cmd_cos", false, Meaning::Text, ""},
    {"send_cmd_cst", true, Meaning::Code, "TEXT"},
    {"send_cmd_chs", true, Meaning::Text, "CHANNEL"},
    {"send_cmd_fwd", false, Meaning::Code, ""},
    {"send_cmd_rvs", false, Meaning::Code, ""},
    {"send_cmd_stp", false, Meaning::Code, ""},
    {"send_cmd_ch", true, Meaning::Code, "CHANNEL"},
    {"send_cmd_rst", false, Meaning::Code, ""},
    {"send_cmd_win", false, Meaning::Code, ""},
    {"send_cmd_wot", false, Meaning::Code, ""},
    {"send_cmd_wot_with_wng", false, Meaning::Code, ""},
    {"send_cmd_wrt", false, Meaning::Code, ""},
    {"recv_cmd_inf", false, Meaning::Status, ""},
    {"serial_close", false, Meaning::Close, ""},
    {"get_last_recv_data_bin_str", false, Meaning::Title, ""},
    {"get_last_recv_data_str", false, Meaning::Title, ""},
    {"send_cmd_ver", false, Meaning::Text, ""},
    {"send_cmd_ver_script", false, Meaning::VersionCode, ""},
};

const char* const kLineFailed =
    "the serial line failed (adapter unplugged? the daemon has let it go; plug it back in)";

int usage(const char* problem) {
    if (*problem) std::cerr << "rs232c-call: " << problem << "\n";
    std::cerr << "usage: rs232c-call [--host HOST] [--port PORT] [--raw] METHOD [ARG]\n"
                 "ARG takes C escapes (\\r, \\n, \\xHH, \\\\). Methods:\n";
    for (const Method& method : kMethods) {
        std::cerr << "  " << method.name << (method.takesText ? " " : "") << method.argument
                  << "\n";
    }
    return 2;
}

// Turns the escapes a person can type (\r, \n, \t, \\, \xHH) into bytes.
bool unescape(const std::string& text, std::string& bytes) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case 'r':
                bytes += '\r';
                break;
            case 'n':
                bytes += '\n';
                break;
            case 't':
                bytes += '\t';
                break;
            case '\\':
                bytes += '\\';
                break;
            case 'x': {
                if (i + 2 >= text.size() ||
                    !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                    !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                    return false;
                }
                bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

// Shows CR, LF and other control characters so a person can see them.
std::string visible(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string explainCode(int code, Meaning meaning) {
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

std::string explainStatus(int code) {
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

std::string explainText(const std::string& text) {
    if (text == "open_error") return "open_error: the serial adapter could not be opened";
    if (text == "recv_error") return std::string("recv_error: ") + kLineFailed;
    if (text == "recv_timeout") return "recv_timeout: no reply in time";
    if (text == "CER\r\n") return "\"CER\\r\\n\": refused by the controller";
    return visible(text);
}

void show(const Method& method, const xmlrpc_c::value& result, bool raw) {
    if (result.type() == xmlrpc_c::value::TYPE_INT) {
        int code = xmlrpc_c::value_int(result);
        if (raw) {
            std::cout << code << "\n";
        } else if (method.meaning == Meaning::Status) {
            std::cout << code << " (" << explainStatus(code) << ")\n";
        } else if (method.meaning == Meaning::Close) {
            std::cout << code << " (the held serial port is released)\n";
        } else {
            std::cout << code << " (" << explainCode(code, method.meaning) << ")\n";
        }
        return;
    }
    std::string text = xmlrpc_c::value_string(result).crlfValue();
    if (raw) {
        std::cout << text << "\n";
    } else if (method.meaning == Meaning::Text) {
        std::cout << explainText(text) << "\n";
    } else {
        std::cout << visible(text) << "\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "localhost", port = "40405";
    bool raw = false;
    int at = 1;
    for (; at < argc && argv[at][0] == '-'; ++at) {
        std::string option = argv[at];
        if (option == "--raw") {
            raw = true;
        } else if ((option == "--host" || option == "--port") && at + 1 < argc) {
            (option == "--host" ? host : port) = argv[++at];
        } else if (option == "--help" || option == "-h") {
            return usage("");
        } else {
            return usage(("unknown option " + option).c_str());
        }
    }
    if (at >= argc) return usage("which method?");
    const Method* method = nullptr;
    for (const Method& candidate : kMethods) {
        if (std::strcmp(candidate.name, argv[at]) == 0) method = &candidate;
    }
    if (!method) return usage((std::string("no method ") + argv[at]).c_str());
    ++at;
    if (argc - at != (method->takesText ? 1 : 0)) {
        return usage(method->takesText
                         ? (std::string(method->name) + " takes one " + method->argument).c_str()
                         : (std::string(method->name) + " takes no argument").c_str());
    }

    xmlrpc_c::paramList params;
    if (method->takesText) {
        std::string bytes;
        if (!unescape(argv[at], bytes)) return usage("ARG has a broken escape");
        params.add(xmlrpc_c::value_string(bytes));
    }
    std::string url = "http://" + host + ":" + port + "/RPC2";
    try {
        xmlrpc_c::clientXmlTransport_curl transport;
        xmlrpc_c::client_xml client(&transport);
        xmlrpc_c::carriageParm_curl0 carriage(url);
        xmlrpc_c::rpcPtr rpc(method->name, params);
        rpc->call(&client, &carriage);
        if (!rpc->isSuccessful()) {
            xmlrpc_c::fault fault = rpc->getFault();
            std::cerr << "rs232c-call: the daemon answered with fault " << fault.getCode() << ": "
                      << fault.getDescription() << "\n";
            return 1;
        }
        show(*method, rpc->getResult(), raw);
    } catch (const std::exception& error) {
        std::cerr << "rs232c-call: cannot call " << url << ": " << error.what() << "\n";
        return 3;
    }
    return 0;
}
