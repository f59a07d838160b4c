#include "links/ProxyPolicy.h"

#include <algorithm>
#include <fstream>

#include "config/Json.h"

std::string withBackslashes(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string comparablePath(const std::string& path) { return lowerCase(withBackslashes(path)); }

ProxyPolicy readProxyPolicy(std::istream& in, const std::function<bool(const std::string&)>& isConnectedClient) {
    ProxyPolicy policy;
    Value document;
    in >> document;  // lenient: a malformed file leaves the document null
    Value settings = document.member("proxy_settings");
    if (!settings.isObject()) return policy;
    policy.logging = settings.member("logging").toBool();

    Value proxies = settings.member("proxies");
    const Value::Array* proxyList = proxies.as<Value::Array>();
    if (!proxyList) return policy;
    for (const Value& entry : *proxyList) {
        // member() hands out copies: keep each alive while it is looked at.
        const Value proxyValue = entry.member("proxy");
        const std::string* proxyText = proxyValue.as<std::string>();
        if (!proxyText || proxyText->empty()) continue;
        const std::string proxy = withBackslashes(*proxyText);
        Value clients = entry.member("clients");
        const Value::Array* clientList = clients.as<Value::Array>();
        if (!clientList) continue;
        for (const Value& client : *clientList) {
            const Value clientValue = client.member("client");
            const std::string* clientText = clientValue.as<std::string>();
            if (!clientText || clientText->empty()) continue;
            const std::string clientPath = comparablePath(*clientText);
            auto& listed = policy.proxies[clientPath];
            if (std::find(listed.begin(), listed.end(), proxy) != listed.end()) continue;
            if (isConnectedClient && isConnectedClient(proxy)) continue;
            listed.push_back(proxy);
        }
    }
    // A client whose every proxy was refused has no entry.
    std::erase_if(policy.proxies, [](const auto& entry) { return entry.second.empty(); });
    return policy;
}

ProxyPolicy loadProxyPolicy(const std::string& path, const std::function<bool(const std::string&)>& isConnectedClient) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return ProxyPolicy{};
    return readProxyPolicy(in, isConnectedClient);
}
