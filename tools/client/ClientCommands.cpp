#include "tools/client/ClientCommands.h"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <optional>
#include <ostream>

#include "config/Json.h"
#include "links/LinkClient.h"
#include "links/MessageValue.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 2;
constexpr int kNoAnswer = 3;

// A client id is forgotten after a long silence; a watch speaks up now and
// then to keep its own.
constexpr std::chrono::seconds kKeepAlive{20};

void usage(std::ostream& err) {
    err << "usage: tyvo-client [--host HOST] [--port PORT] [--timeout MS] COMMAND\n"
           "  get [KEY...]         print settings (all of them without keys)\n"
           "  set KEY VALUE        change a setting (VALUE as JSON, else as text)\n"
           "  watch [--seconds N]  print log, configuration and mode events\n"
           "  devices              list the attached devices\n";
}

std::optional<int> number(const std::string& text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string json(const Value& value) { return Json::toJson(value, false, false); }

// A command-line value: JSON when it reads as a whole JSON value, else the
// text itself, so that `set camera_mode VGA` needs no quotes.
Value parseValue(const std::string& text) {
    try {
        std::size_t consumed = 0;
        Value value = Json::parse(text, &consumed);
        if (text.find_first_not_of(" \t\r\n", consumed) == std::string::npos) return value;
    } catch (const Json::ParseError&) {
        // not JSON: plain text
    }
    return Value(text);
}

int noAnswer(std::ostream& err, const LinkClient::Options& options) {
    err << "tyvo-client: no answer from the service on " << options.host << ":" << options.commandPort << "\n";
    return kNoAnswer;
}

int get(LinkClient& client, const std::vector<std::string>& keys, std::ostream& out, std::ostream& err,
        const LinkClient::Options& options) {
    auto values = client.getConfiguration(keys);
    if (!values) return noAnswer(err, options);
    int status = kDone;
    if (keys.empty()) {
        for (const auto& [key, value] : *values) out << key << " = " << json(value) << "\n";
        return status;
    }
    for (const auto& key : keys) {
        auto it = values->find(key);
        if (it == values->end()) {
            err << "tyvo-client: no setting " << key << "\n";
            status = kRefused;
        } else {
            out << key << " = " << json(it->second) << "\n";
        }
    }
    return status;
}

int set(LinkClient& client, const std::string& key, const std::string& text, std::ostream& out, std::ostream& err,
        const LinkClient::Options& options) {
    Value value = parseValue(text);
    if (value.typeCode() == 0) {
        err << "tyvo-client: " << text << " cannot be sent as a setting value\n";
        return kUsage;
    }
    auto taken = client.setConfiguration({{key, value}});
    if (!taken) return noAnswer(err, options);
    if (taken->empty()) {
        err << "tyvo-client: the service did not take " << key << " (unknown or fixed)\n";
        return kRefused;
    }
    out << key << " = " << json(value) << "\n";
    return kDone;
}

void printEvent(const Tyvo::Message::Event& event, std::ostream& out) {
    switch (event.type()) {
        case 412: out << event.log().text() << "\n"; break;
        case 403:
            for (const auto& [key, value] : fromConfigSettings(event.settings())) {
                out << "configuration: " << key << " = " << json(value) << "\n";
            }
            break;
        case 406: out << "background application mode changed\n"; break;
        default: return;  // idle ticks and the like
    }
    out.flush();
}

int watch(LinkClient& client, std::optional<int> seconds, std::ostream& out, std::ostream& err,
          const LinkClient::Options& options, const std::atomic<bool>& stop) {
    if (!client.connectEvents()) {
        err << "tyvo-client: cannot open the event link on port " << client.eventPort() << "\n";
        return kNoAnswer;
    }
    using Clock = std::chrono::steady_clock;
    const auto end = seconds ? Clock::now() + std::chrono::seconds(*seconds) : Clock::time_point::max();
    auto nextKeepAlive = Clock::now() + kKeepAlive;
    while (!stop.load() && Clock::now() < end) {
        if (auto event = client.nextEvent(std::chrono::milliseconds(200))) printEvent(*event, out);
        if (Clock::now() >= nextKeepAlive) {
            if (!client.ping()) return noAnswer(err, options);
            nextKeepAlive = Clock::now() + kKeepAlive;
        }
    }
    return kDone;
}

int devices(LinkClient& client, std::ostream& out, std::ostream& err, const LinkClient::Options& options) {
    auto list = client.devices();
    if (!list) return noAnswer(err, options);
    if (list->devices_size() == 0) out << "no devices\n";
    for (const auto& device : list->devices()) {
        out << device.id() << "  " << device.serial_number() << "  class " << device.device_class() << "\n";
    }
    return kDone;
}

}  // namespace

int runClient(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              const std::atomic<bool>& stop) {
    LinkClient::Options options;
    size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
        const std::string& option = args[i];
        if (option == "--help") {
            usage(out);
            return kDone;
        }
        if (i + 1 >= args.size()) {
            usage(err);
            return kUsage;
        }
        const std::string& argument = args[++i];
        if (option == "--host") {
            options.host = argument;
        } else if (option == "--port" || option == "--timeout") {
            auto n = number(argument);
            if (!n || *n <= 0 || (option == "--port" && *n > 65535)) {
                err << "tyvo-client: bad " << option.substr(2) << " " << argument << "\n";
                return kUsage;
            }
            if (option == "--port")
                options.commandPort = *n;
            else
                options.timeout = std::chrono::milliseconds(*n);
        } else {
            err << "tyvo-client: unknown option " << option << "\n";
            usage(err);
            return kUsage;
        }
    }
    if (i >= args.size()) {
        usage(err);
        return kUsage;
    }
    const std::string& command = args[i++];
    const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());

    std::optional<int> seconds;
    if (command == "watch") {
        if (rest.size() == 2 && rest[0] == "--seconds" && number(rest[1]) && *number(rest[1]) > 0) {
            seconds = *number(rest[1]);
        } else if (!rest.empty()) {
            usage(err);
            return kUsage;
        }
    } else if ((command == "set" && rest.size() != 2) || (command == "devices" && !rest.empty()) ||
               (command != "get" && command != "set" && command != "devices")) {
        usage(err);
        return kUsage;
    }

    LinkClient client(options);
    if (!client.connected()) return noAnswer(err, options);
    if (!client.authenticate("1.0.2+0", static_cast<uint32_t>(getpid()), "tyvo-client", "tyvo-client")) {
        return noAnswer(err, options);
    }
    if (command == "get") return get(client, rest, out, err, options);
    if (command == "set") return set(client, rest[0], rest[1], out, err, options);
    if (command == "watch") return watch(client, seconds, out, err, options, stop);
    return devices(client, out, err, options);
}
