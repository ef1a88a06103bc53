#pragma once

#include <string_view>

#include "service/HttpRequest.h"

// What a request's Host, Origin, Referer and Sec-Fetch-Site say about the page that made a
// browser send it. A page of another site can make the owner's browser send requests to this
// machine, even under a name of its own that it points at 127.0.0.1; these tests keep such
// requests from acting with the owner's rights.
namespace tessel {

// Whether a Host header value (any port ignored) names this machine as no other site's page can:
// an IP address literal ("127.0.0.1", "[::1]"), "localhost", or this machine's own name. Names in
// any letter case, with or without a final dot.
bool IsLocalHostName(std::string_view host);

// Whether a request was sent on behalf of another site's page: it says "Sec-Fetch-Site:
// cross-site", or its Origin (without one, its Referer) names another host or port than its
// Host. A request without any of these headers (a script, an older client) is not.
bool IsCrossSite(const HttpRequest& request);

// Whether an address (dotted IPv4, or IPv6 text) is inside the LAN: loopback, RFC 1918,
// link-local, shared address space (100.64.0.0/10), fc00::/7 or fe80::/10. Anything else,
// including text that is no address, is outside.
bool IsLanAddress(std::string_view address);

}  // namespace tessel
