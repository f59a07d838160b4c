#include "config/CommandLineParser.h"

#include <ostream>
#include <sstream>
#include <string>

#include <boost/program_options/parsers.hpp>

namespace po = boost::program_options;

namespace {

constexpr const char* kProgram = "tyvo-reset";

// The longest --wait: a day. A longer wait is a mistake, not a plan.
constexpr unsigned long kMaxWaitSeconds = 86400;

constexpr const char kExitStatuses[] =
    "\n"
    "Exit status:\n"
    "  0     success (restore done; --list found a device; --help, --version)\n"
    "  1     an unexpected internal error\n"
    "  2     bad command line\n"
    "  3     no Tyvo device attached (--list), or none arrived within --wait (--yes)\n"
    "  4     permission denied opening the device (see the udev rule)\n"
    "  5     the boot programmer did not appear within --wait after stage 1\n"
    "  6     firmware files missing, unreadable or refused\n"
    "  7     read-back verification found a difference that rewriting did not mend\n"
    "  10+N  stage 1 failed with load result N (11..19)\n"
    "  20+N  stage 2 failed with load result N (21..29)\n"
    "\n"
    "Without --yes a failed stage does not end the tool: unplug and replug the\n"
    "controller. With --yes a controller in normal operation is left alone: the run\n"
    "ends with status 0 (run without --yes to have old firmware updated in place).\n";

// Options that only make sense beside others, and values the map cannot
// check by type.
void CheckCombinations(const po::variables_map& parsed) {
    const bool list = parsed.count("list") > 0;
    const bool yes = parsed.count("yes") > 0;
    if (list && yes) throw po::error("--list and --yes cannot be combined");
    if (parsed.count("json") && !list && !yes) throw po::error("--json needs --list or --yes");
    if (parsed.count("wait")) {
        if (!yes) throw po::error("--wait needs --yes");
        const std::string text = parsed["wait"].as<std::string>();
        std::size_t end = 0;
        unsigned long seconds = 0;
        try {
            seconds = std::stoul(text, &end);
        } catch (const std::exception&) {
            end = 0;
        }
        if (end != text.size() || text.find_first_not_of("0123456789") != std::string::npos || seconds == 0 ||
            seconds > kMaxWaitSeconds)
            throw po::error("the argument ('" + text + "') for option '--wait' is invalid: give whole seconds, 1 to " +
                            std::to_string(kMaxWaitSeconds));
    }
    if (parsed.count("progress")) {
        const std::string mode = parsed["progress"].as<std::string>();
        if (mode != "auto" && mode != "plain" && mode != "none")
            throw po::error("the argument ('" + mode + "') for option '--progress' is invalid: auto, plain or none");
    }
}

}  // namespace

CommandLineParser::CommandLineParser() : ContextMember("CommandLineParser"), m_options("Options", 80, 40) {
    m_options.add_options()("help,h", "print this help and exit")("version", "print the version and exit")(
        "config", po::value<std::string>()->value_name("PATH"),
        "read the configuration from PATH instead of config.json in the user's data folder")(
        "simulate", po::value<std::string>()->value_name("SCENARIO")->implicit_value("restore"),
        "run on emulated hardware under tyvo-sim; SCENARIO is restore (the default), "
        "stage1-failure, stage2-failure, stage2-unplug, programmer-lost, verify-rewrite, "
        "verify-stuck, verify-unsupported or devices, or for a working controller "
        "controller, controller-update or embedded (see tyvo-sim --help)")(
        "firmware-dir", po::value<std::string>()->value_name("DIR"),
        "take app0.dat, app1.dat and app2.dat from DIR, not the folders searched by default")(
        "list,l", "list every attached Tyvo device and exit")(
        "json",
        "with --list: a JSON array; with --yes: end with one JSON outcome object on standard output "
        "(the dialogue then goes to standard error)")("yes,y",
                                                      "unattended: no Enter prompts; a failed stage ends the run")(
        "wait", po::value<std::string>()->value_name("SECONDS"),
        "with --yes: how long to wait for a controller to arrive, and for the boot programmer after stage 1 "
        "(default 60)")("verify", "after stage 2, read the flash back (vendor request 0xC3) and compare")(
        "progress", po::value<std::string>()->value_name("MODE"),
        "auto (default: a live line on standard error when it is a terminal), plain (percentage lines on "
        "standard error), none")("quiet,q", "only the dialogue (no progress, no extra notes)");
}

CommandLineParser::Result CommandLineParser::parse(int argc, char* argv[], std::ostream& errors) {
    return parse(argc, const_cast<const char* const*>(argv), errors);
}

CommandLineParser::Result CommandLineParser::parse(int argc, const char* const argv[], std::ostream& errors) {
    po::variables_map parsed;
    try {
        // No abbreviations: "--conf" is a mistake, not "--config".
        auto style = po::command_line_style::default_style & ~po::command_line_style::allow_guessing;
        auto options = po::command_line_parser(argc, argv).options(m_options).style(style).run();
        // The tool takes no plain arguments; the library would drop them quietly.
        for (const auto& option : options.options) {
            if (option.position_key >= 0 || option.string_key.empty()) {
                std::string text = option.original_tokens.empty() ? "" : option.original_tokens.front();
                throw po::error("unexpected argument '" + text + "'");
            }
        }
        po::store(options, parsed);
        po::notify(parsed);
        for (const char* name : {"config", "firmware-dir", "simulate", "wait", "progress"}) {
            if (parsed.count(name) && parsed[name].as<std::string>().empty()) {
                throw po::error(std::string("the argument for option '--") + name + "' is empty");
            }
        }
        CheckCombinations(parsed);
    } catch (const po::error& e) {
        errors << kProgram << ": " << e.what() << '\n' << usage() << std::flush;
        return {Action::Error, 2};
    }
    m_variables = std::move(parsed);
    if (m_variables.count("help")) return {Action::Help, 0};
    if (m_variables.count("version")) return {Action::Version, 0};
    return {Action::Run, 0};
}

std::string CommandLineParser::usage() const {
    std::ostringstream text;
    text << "Usage: " << kProgram << " [options]\n\n" << m_options << kExitStatuses;
    return text.str();
}

std::size_t CommandLineParser::count(const std::string& name) const { return m_variables.count(name); }

std::string CommandLineParser::value(const std::string& name) const {
    auto it = m_variables.find(name);
    if (it == m_variables.end()) return {};
    if (auto* text = boost::any_cast<std::string>(&it->second.value())) return *text;
    return {};
}
