#pragma once

#include <functional>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

// Paths in the proxy table use backslashes; client paths are kept in lower
// case. Paths reported by clients are brought into the same form before they
// are compared, whatever separator their platform writes.
std::string withBackslashes(std::string path);
std::string lowerCase(std::string text);
// Backslashes and lower case: the form in which two paths are compared.
std::string comparablePath(const std::string& path);

// The proxy settings of "policy.json": applications (proxies) that stand
// for a client application when they are frontmost, and whether the host
// prints the frontmost application.
struct ProxyPolicy {
    bool logging = false;
    // Client path (lower case, backslashes) to its proxy paths (backslashes).
    std::map<std::string, std::vector<std::string>> proxies;
};

// Reads the policy document:
//   {"proxy_settings": {"logging": <bool>,
//     "proxies": [{"proxy": <path>, "clients": [{"client": <path>, "title": <text>}]}]}}
// A proxy that is the path of a connected client (`isConnectedClient`) is
// not listed. Anything missing or malformed leaves that part empty.
ProxyPolicy readProxyPolicy(std::istream& in, const std::function<bool(const std::string&)>& isConnectedClient);
ProxyPolicy loadProxyPolicy(const std::string& path, const std::function<bool(const std::string&)>& isConnectedClient);
