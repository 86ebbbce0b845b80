#include "process/Options.h"

#include <arpa/inet.h>

#include "service/OriginPolicy.h"

namespace {

bool isAddress(const std::string& text) {
    unsigned char binary[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.c_str(), binary) == 1 ||
           inet_pton(AF_INET6, text.c_str(), binary) == 1;
}

// A decimal number from `low` to `high`.
bool parseNumber(const std::string& text, unsigned long low, unsigned long high, unsigned& number) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long value = std::stoul(text);
    if (value < low || value > high) return false;
    number = static_cast<unsigned>(value);
    return true;
}

// A size in bytes, or with k or M for KiB or MiB.
bool parseSize(const std::string& text, std::size_t& bytes) {
    std::size_t digits = text.find_first_not_of("0123456789");
    std::string unit = digits == std::string::npos ? "" : text.substr(digits);
    if (digits == 0 || text.empty() || unit.size() > 1 || text.size() > 12) return false;
    std::size_t scale = unit.empty()                 ? 1
                        : unit == "k" || unit == "K" ? 1024
                        : unit == "M"                ? 1 << 20
                                                     : 0;
    bytes = std::stoull(text.substr(0, digits)) * scale;
    return bytes >= 4096;
}

}  // namespace

const char* usageText() {
    return "usage: rs232c-daemon [OPTION]...\n"
           "Serves XML-RPC on HTTP and drives the tool controller on a serial line.\n"
           "  --device PATH          the controller's serial adapter (default /dev/ttyUSB0)\n"
           "  --port N               the TCP port to serve (default 40405)\n"
           "  --listen ADDRESS       serve on this IPv4 or IPv6 address only\n"
           "                         (default every IPv4 interface)\n"
           "  --allow-origin ORIGIN  let web pages from ORIGIN (scheme://host[:port]) call the\n"
           "                         daemon; repeatable. Calls from any other web page are "
           "refused\n"
           "  --client-connections N connections one client address may hold open at once\n"
           "                         (default 64); the oldest silent one makes room for more\n"
           "  --trace PATH           record every call and every byte on the line in PATH\n"
           "                         (JSON Lines); - for standard error\n"
           "  --trace-size SIZE      rotate the trace file at SIZE bytes (k, M: KiB, MiB;\n"
           "                         default 10M), keeping 4 older files\n"
           "  --tls-cert FILE        serve HTTPS only, with this certificate (PEM, chain after "
           "it)\n"
           "  --tls-key FILE         ... and its private key (PEM, no passphrase)\n"
           "  --tls-client-ca FILE   take only clients whose certificate chains to a CA in FILE\n"
           "  --operators FILE       the certificate common names (one a line) that may move the\n"
           "                         tool; other clients may only watch it and stop it\n"
           "  --help                 print this and exit\n"
           "  --version              print the version and exit\n";
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    auto invalid = [&line](const std::string& problem) {
        line.action = CommandLine::Invalid;
        line.problem = problem;
        return line;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        bool attached = false;
        if (name.rfind("--", 0) == 0 && name.find('=') != std::string::npos) {
            value = name.substr(name.find('=') + 1);
            name = name.substr(0, name.find('='));
            attached = true;
        }
        if (name == "--help" || name == "--version") {
            if (attached) return invalid(name + " takes no value");
            line.action = name == "--help" ? CommandLine::Help : CommandLine::Version;
            return line;
        }
        if (name != "--device" && name != "--port" && name != "--listen" &&
            name != "--allow-origin" && name != "--trace" && name != "--trace-size" &&
            name != "--client-connections" && name != "--tls-cert" && name != "--tls-key" &&
            name != "--tls-client-ca" && name != "--operators") {
            return invalid("unknown option " + args[i]);
        }
        if (!attached) {
            if (i + 1 >= args.size()) return invalid(name + " needs a value");
            value = args[++i];
        }
        DaemonOptions& options = line.options;
        if (name == "--device") {
            if (value.empty()) return invalid("--device needs a path");
            options.device = value;
        } else if (name == "--port") {
            if (!parseNumber(value, 1, 65535, options.server.port)) {
                return invalid("--port takes a number from 1 to 65535, not '" + value + "'");
            }
        } else if (name == "--listen") {
            if (!isAddress(value)) {
                return invalid("--listen takes an IPv4 or IPv6 address, not '" + value + "'");
            }
            options.server.listenAddress = value;
        } else if (name == "--client-connections") {
            if (!parseNumber(value, 1, 100000, options.server.clientConnections)) {
                return invalid("--client-connections takes a number from 1 to 100000, not '" +
                               value + "'");
            }
        } else if (name == "--tls-cert" || name == "--tls-key" || name == "--tls-client-ca" ||
                   name == "--operators") {
            if (value.empty()) return invalid(name + " needs a file");
            std::string& file = name == "--tls-cert"        ? options.tls.certificate
                                : name == "--tls-key"       ? options.tls.key
                                : name == "--tls-client-ca" ? options.tls.clientCa
                                                            : options.operators;
            file = value;
        } else if (name == "--trace") {
            if (value.empty()) return invalid("--trace needs a path, or - for standard error");
            options.trace = value;
        } else if (name == "--trace-size") {
            if (!parseSize(value, options.traceRotateBytes)) {
                return invalid("--trace-size takes a size of at least 4k, such as 10M, not '" +
                               value + "'");
            }
        } else if (!OriginPolicy::isOrigin(value)) {
            return invalid("--allow-origin takes an origin such as http://ui.example:8080, not '" +
                           value + "'");
        } else {
            options.server.allowedOrigins.push_back(value);
        }
    }
    const DaemonOptions& options = line.options;
    if (!options.tls.key.empty() && options.tls.certificate.empty())
        return invalid("--tls-key needs --tls-cert");
    if (!options.tls.certificate.empty() && options.tls.key.empty())
        return invalid("--tls-cert needs --tls-key");
    if (!options.tls.clientCa.empty() && options.tls.certificate.empty())
        return invalid("--tls-client-ca needs TLS: --tls-cert and --tls-key");
    if (!options.operators.empty() && options.tls.clientCa.empty())
        return invalid(
            "--operators needs client certificates: --tls-cert, --tls-key and "
            "--tls-client-ca");
    return line;
}
