// Arbitrary bytes as a request received on the command link: framed, parsed
// and answered by a resource host without sockets. Half of the inputs are
// turned into well-formed requests first, so that every request type is
// reached without a seed corpus.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "config/Config.h"
#include "config/ConfigDefaults.h"
#include "fuzz/links/FuzzParts.h"
#include "links/LinkEndpointRpc.h"
#include "links/ResourceHost.h"

namespace {

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint32_t word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }
    std::string text() {
        size_t n = byte() % 24;
        std::string s;
        for (size_t i = 0; i < n && m_pos < m_size; ++i) s.push_back(static_cast<char>(byte()));
        return s;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

const char* const kKeys[] = {"camera_mode", "background_app_mode", "Gesture.Swipe.MinLength", "no_such_key",
                             "debug_output_level"};
const char* const kResources[] = {"FingerPoints", "Motions", "Bogus", "RectImages"};
const int kTypes[] = {200, 201, 202, 203, 204, 206, 209, 250};

// A request built from the input: type, client id and payload chosen by it.
std::string structuredRequest(Reader& in, uint32_t knownClient) {
    Tyvo::Message::Message m;
    m.set_type(Tyvo::Message::Message::REQUEST);
    auto* r = m.mutable_request();
    r->set_type(kTypes[in.byte() % 8]);
    if (in.byte() % 4) r->set_client_id(in.byte() % 2 ? knownClient : in.word());
    switch (r->type()) {
        case 200: {
            auto* a = r->mutable_authenticate();
            if (in.byte() % 2) a->set_version(in.byte() % 2 ? "1.0." + std::to_string(in.byte()) : in.text());
            if (in.byte() % 2) a->set_old_version(in.word() % 1000);
            if (in.byte() % 2) a->set_pid(in.word());
            if (in.byte() % 2) a->set_app(in.text());
            break;
        }
        case 201: {
            auto* p = r->mutable_ping();
            p->set_pid(in.byte());
            p->set_title(in.text());
            p->set_path(in.text());
            break;
        }
        case 202: {
            auto* kv = r->mutable_settings()->add_entries();
            kv->set_key(kKeys[in.byte() % 5]);
            auto* v = kv->mutable_value();
            switch (in.byte() % 5) {
                case 0: v->set_int_value(static_cast<int32_t>(in.word())); break;
                case 1: v->set_string_value(in.text()); break;
                case 2: v->set_double_value(static_cast<double>(in.word())); break;
                case 3: v->add_elements()->set_bool_value(true); break;
                default: break;
            }
            break;
        }
        case 203:
            if (in.byte() % 2) r->mutable_keys()->add_keys(kKeys[in.byte() % 5]);
            break;
        case 204: {
            auto* e = r->mutable_events();
            e->add_resources(kResources[in.byte() % 4]);
            if (in.byte() % 2) e->set_subscribe(in.byte() % 2);
            break;
        }
        case 206:
            if (in.byte() % 2) r->set_policy(in.word());
            break;
        default: break;
    }
    return m.SerializeAsString();
}

struct Fixture {
    Fixture() {
        Config::applyDefaults();
        rebuild();
    }
    void rebuild() {
        host.reset();
        ResourceHostOptions options;
        options.openLinks = false;
        options.policyPath = "";
        host = std::make_shared<ResourceHost>(options);
    }
    std::shared_ptr<ResourceHost> host;
    uint32_t knownClient = 0;
    unsigned runs = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture fixture;
    // Authentications pile up clients that only passes would expire.
    if (++fixture.runs % 4096 == 0) {
        fixture.rebuild();
        fixture.knownClient = 0;
    }

    std::string bytes;
    if (size > 0 && data[0] % 2) {
        Reader in(data + 1, size - 1);
        bytes = structuredRequest(in, fixture.knownClient);
    } else {
        bytes.assign(reinterpret_cast<const char*>(data), size);
    }
    FuzzParts parts;
    parts.add(bytes, false);
    LinkEndpointCopyInputStream input(parts, 1 << 20);
    Tyvo::Message::Message request, response;
    if (!readFramedMessage(input, request, std::chrono::milliseconds(0))) return 0;
    fixture.host->handleRequest(request, response);

    // Every answer is a complete response that a client can read.
    if (!response.IsInitialized() || response.type() != Tyvo::Message::Message::RESPONSE) __builtin_trap();
    if (response.response().type() == 300 && response.response().status() == 0) {
        fixture.knownClient = response.response().authenticate().client_id();
        if (fixture.knownClient == 0) __builtin_trap();
    }
    return 0;
}
