#include "config/ConfigLoader.h"

#include <exception>
#include <iostream>

#include "config/CommandLineParser.h"
#include "config/Config.h"
#include "config/ConfigDefaults.h"
#include "context/Autowired.h"

ConfigLoader::ConfigLoader() : ContextMember("ConfigLoader") {
    Config::applyDefaults();
    try {
        AutoRequired<CommandLineParser> options;
        const bool explicitFile = options->count("config") > 0;
        // A process without any user data folder (a system service, say) has
        // no per-user file to read; it runs on the defaults.
        if (!explicitFile && !Config::userDataFolder()) {
            m_loaded = true;
            return;
        }
        m_path = explicitFile ? options->value("config") : Config::dataFilePath("config.json");
        try {
            Config::loadSection(m_path, "configuration");
            m_loaded = true;
        } catch (const Config::FileError& e) {
            // The defaults stay in force. A file the user named on the command
            // line deserves a word when it cannot be used, and where in it
            // the trouble is; the default file is optional and stays quiet.
            if (explicitFile) {
                std::cerr << e.what() << std::endl;
                if (!e.detail().empty()) std::cerr << "    " << e.detail() << std::endl;
            }
        } catch (const std::exception& e) {
            if (explicitFile) std::cerr << e.what() << std::endl;
        }
    } catch (const std::exception&) {
        // Looking for the file failed (no memory, say): run on the defaults.
    }
}
