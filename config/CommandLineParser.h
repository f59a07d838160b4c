#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/variables_map.hpp>

#include "context/ContextMember.h"

// The options given on the command line, kept in the global context so that
// other members can consult them. Without options the map stays empty.
//
// Options: --help, --version, --config PATH, --simulate[=SCENARIO] (scenario
// "restore" when none is named), --firmware-dir DIR; --list, --json, --yes,
// --wait SECONDS, --verify, --progress MODE, --quiet. Combinations that make
// no sense (--json without --list or --yes, --wait without --yes, --list
// with --yes) are a bad command line.
class CommandLineParser : public ContextMember {
public:
    CommandLineParser();

    enum class Action {
        Run,      // go on with the map filled
        Help,     // print usage() to standard output, exit 0
        Version,  // print the version, exit 0
        Error,    // the message and the usage went to `errors`; exit 2
    };

    struct Result {
        Action action;
        int exitStatus;  // the status to exit with unless the action is Run
    };

    // Parses the process arguments into the map. A bad command line (an
    // unknown option, a missing or empty value, an option given twice, a
    // stray argument) writes one line "<program>: <message>" and the usage to
    // `errors` and yields Error with exit status 2.
    Result parse(int argc, const char* const argv[], std::ostream& errors);
    Result parse(int argc, char* argv[], std::ostream& errors);

    // "Usage: tyvo-reset [options]", the option table and the exit statuses.
    std::string usage() const;

    // How often the option was given (0 or 1), and its value as a string
    // ("" when absent).
    std::size_t count(const std::string& name) const;
    std::string value(const std::string& name) const;

    const boost::program_options::variables_map& variables() const { return m_variables; }

private:
    boost::program_options::options_description m_options;
    boost::program_options::variables_map m_variables;
};
