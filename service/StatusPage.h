// GET /: a page for the technician at the station, read in any browser without tools: the
// device, the line's state in words, the adapter, the age of the last reply, the counts and the
// last calls. Read only and self-contained: no form, no script, nothing from elsewhere (its
// Content-Security-Policy forbids all of it), every text escaped; it reloads itself every few
// seconds. It reads what /metrics reads and never touches the line.
#ifndef SERVICE_STATUSPAGE_H
#define SERVICE_STATUSPAGE_H

#include <string>

#include "service/Metrics.h"

namespace statuspage {

// The page reloads itself this often, in seconds: what it shows is at most this old.
constexpr int kRefreshSeconds = 5;
// No script, no frame, no form target, nothing fetched: only the page's own style.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; style-src 'unsafe-inline'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

// The page as it is now; `port` is the TCP port the daemon serves.
std::string render(const Metrics& metrics, unsigned port);

// Text for HTML: & < > " ' as character references.
std::string htmlEscape(const std::string& text);

}  // namespace statuspage

#endif
