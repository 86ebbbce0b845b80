// Which web pages may call the daemon. A browser sends an Origin header with every POST (and
// may send a cross-site one without asking first); ordinary XML-RPC clients never do. So a
// request with an Origin is refused unless the operator allowed that origin. Pure rules.
#ifndef SERVICE_ORIGINPOLICY_H
#define SERVICE_ORIGINPOLICY_H

#include <set>
#include <string>
#include <vector>

class OriginPolicy {
  public:
    explicit OriginPolicy(const std::vector<std::string>& allowedOrigins = {});

    // True for a web origin as a browser serializes one: http or https, a host, an optional
    // port; no path, no "null".
    static bool isOrigin(const std::string& text);

    enum Decision { NotFromABrowser, Allowed, Refused };
    // `originHeader` is the request's Origin header, or null when it has none. Scheme and host
    // compare without regard to case, and a port left out is the scheme's default.
    Decision decide(const char* originHeader) const;

  private:
    std::set<std::string> allowed;  // each as "scheme://host:port", lower case
};

#endif
