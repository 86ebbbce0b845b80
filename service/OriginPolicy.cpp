#include "service/OriginPolicy.h"

#include <cctype>

namespace {

bool isHostChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// "scheme://host:port" in lower case with the port spelled out, or "" for no origin.
std::string canonical(const std::string& text) {
    std::size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string::npos) return "";
    std::string scheme = lower(text.substr(0, schemeEnd));
    if (scheme != "http" && scheme != "https") return "";
    std::string rest = text.substr(schemeEnd + 3);

    std::string host, port;
    if (!rest.empty() && rest[0] == '[') {  // an IPv6 literal
        std::size_t close = rest.find(']');
        if (close == std::string::npos || close == 1) return "";
        host = rest.substr(0, close + 1);
        for (char c : host.substr(1, host.size() - 2)) {
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return "";
        }
        rest = rest.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return "";
        port = rest.empty() ? "" : rest.substr(1);
        if (!rest.empty() && port.empty()) return "";
    } else {
        std::size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) return "";
        }
        if (host.empty()) return "";
        for (char c : host) {
            if (!isHostChar(c)) return "";
        }
    }
    if (port.empty()) port = scheme == "http" ? "80" : "443";
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return "";
    unsigned long number = std::stoul(port);
    if (number < 1 || number > 65535) return "";
    return scheme + "://" + lower(host) + ":" + std::to_string(number);
}

}  // namespace

OriginPolicy::OriginPolicy(const std::vector<std::string>& allowedOrigins) {
    for (const std::string& origin : allowedOrigins) {
        std::string form = canonical(origin);
        if (!form.empty()) allowed.insert(form);
    }
}

bool OriginPolicy::isOrigin(const std::string& text) {
    return !canonical(text).empty();
}

OriginPolicy::Decision OriginPolicy::decide(const char* originHeader) const {
    if (!originHeader) return NotFromABrowser;
    std::string form = canonical(originHeader);
    return !form.empty() && allowed.count(form) ? Allowed : Refused;
}
