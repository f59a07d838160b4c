#include "config/CommandLineParser.h"

#include <ostream>
#include <sstream>

#include <boost/program_options/parsers.hpp>

namespace po = boost::program_options;

namespace {

constexpr const char* kProgram = "tyvo-reset";

}  // namespace

CommandLineParser::CommandLineParser() : ContextMember("CommandLineParser"), m_options("Options", 80, 40) {
    m_options.add_options()("help,h", "print this help and exit")("version", "print the version and exit")(
        "config", po::value<std::string>()->value_name("PATH"),
        "read the configuration from PATH instead of config.json in the user's data folder")(
        "simulate", po::value<std::string>()->value_name("SCENARIO")->implicit_value("restore"),
        "run on emulated hardware under tyvo-sim; SCENARIO is restore (the default), "
        "stage1-failure, stage2-failure or stage2-unplug, or for a working controller "
        "controller, controller-update or embedded (see tyvo-sim --help)")(
        "firmware-dir", po::value<std::string>()->value_name("DIR"),
        "take app0.dat, app1.dat and app2.dat from DIR instead of the executable's folder");
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
        for (const char* name : {"config", "firmware-dir", "simulate"}) {
            if (parsed.count(name) && parsed[name].as<std::string>().empty()) {
                throw po::error(std::string("the argument for option '--") + name + "' is empty");
            }
        }
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
    text << "Usage: " << kProgram << " [options]\n\n" << m_options;
    return text.str();
}

std::size_t CommandLineParser::count(const std::string& name) const { return m_variables.count(name); }

std::string CommandLineParser::value(const std::string& name) const {
    auto it = m_variables.find(name);
    if (it == m_variables.end()) return {};
    if (auto* text = boost::any_cast<std::string>(&it->second.value())) return *text;
    return {};
}
