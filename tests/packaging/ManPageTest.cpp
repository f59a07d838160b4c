// The manual pages render without a warning and document every option the
// programs' --help prints.

#include "tests/packaging/PackagingTestSupport.h"

namespace {

using namespace packagingtest;

struct Page {
    const char* name;
    const char* program;
};
const Page kPages[] = {
    {"tyvo-reset", TYVO_RESET_PATH},
    {"tyvo-client", TYVO_CLIENT_PATH},
    {"tyvo-sim", TYVO_SIM_PATH},
};

std::string PagePath(const Page& page) { return std::string(TYVO_MAN_DIR) + "/" + page.name + ".1"; }

// man's plain rendering (no terminal: no overstrikes), without hyphenation
// or justification, so that no option is broken or spread across lines.
ProgramRun Render(const std::string& path, bool warnings) {
    std::string command = "MANWIDTH=100 MAN_KEEP_FORMATTING= man --nh --nj ";
    if (warnings) command += "--warnings ";
    command += "-l '" + path + "'";
    return RunProgram({"/bin/sh", "-c", command});
}

TEST(ManPages, RenderWithoutWarnings) {
    for (const Page& page : kPages) {
        for (const std::string& path : {PagePath(page), PagePath(page) + ".gz"}) {
            const ProgramRun run = Render(path, true);
            EXPECT_EQ(run.status, 0) << path;
            EXPECT_EQ(run.err, "") << path << " warns";
            EXPECT_NE(run.out.find(page.name), std::string::npos) << path;
        }
    }
}

TEST(ManPages, HaveEverySection) {
    for (const Page& page : kPages) {
        const std::string text = Render(PagePath(page), false).out;
        std::size_t at = 0;
        for (const char* section :
             {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES", "SEE ALSO"}) {
            const std::size_t found = text.find(std::string("\n") + section + "\n", at);
            EXPECT_NE(found, std::string::npos) << page.name << " lacks " << section << " (or has it out of order)";
            if (found != std::string::npos) at = found;
        }
    }
}

TEST(ManPages, DocumentEveryOptionOfHelp) {
    for (const Page& page : kPages) {
        const std::set<std::string> help = HelpOptions(page.program);
        EXPECT_GE(help.size(), 2u) << page.program << " --help printed no options";
        const std::set<std::string> documented = LongOptions(Render(PagePath(page), false).out);
        for (const std::string& option : help)
            EXPECT_TRUE(documented.count(option)) << page.name << ".1 does not document " << option;
    }
}

// The options agreed for tyvo-reset, documented before the tool has them all.
TEST(ManPages, ResetPageHasTheUnattendedOptionsAndTheExitStatuses) {
    const std::string text = Render(PagePath(kPages[0]), false).out;
    const std::set<std::string> documented = LongOptions(text);
    for (const char* option : {"--list", "--json", "--yes", "--wait", "--verify", "--progress", "--quiet", "--config",
                               "--simulate", "--firmware-dir", "--version", "--help"})
        EXPECT_TRUE(documented.count(option)) << option;
    const std::size_t exitStatus = text.find("\nEXIT STATUS\n");
    ASSERT_NE(exitStatus, std::string::npos);
    const std::string table = text.substr(exitStatus, text.find("\nFILES\n") - exitStatus);
    for (const char* status : {"0", "1", "2", "3", "4", "5", "6", "7", "11 to 19", "21 to 29"})
        EXPECT_TRUE(std::regex_search(table, std::regex(std::string("\n +") + status + "\n")))
            << "exit status " << status << " missing:\n"
            << table;
}

}  // namespace
