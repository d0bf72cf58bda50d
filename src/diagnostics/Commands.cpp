#include "diagnostics/Commands.h"

#include <iostream>

#include "BuildConfig.h"
#include "diagnostics/CommandLine.h"
#include "diagnostics/Diagnosis.h"
#include "diagnostics/SelfTest.h"
#include "diagnostics/SystemServices.h"
#include "foundation/Log.h"

namespace kivo::diagnostics {

int runCommand(std::span<const char* const> arguments) {
    CommandLine line;
    try {
        line = parseCommandLine(arguments);
    } catch (const UsageError& error) {
        std::cerr << "kivo-signing-host: " << error.what() << " (see --help)\n";
        return 2;
    }
    switch (line.command) {
        case Command::help:
            std::cout << helpText();
            return 0;
        case Command::version:
            std::cout << "kivo-signing-host " << build::version << "\n";
            return 0;
        case Command::diagnose: {
            // Reading only: not even the log is written.
            foundation::setProcessLog(foundation::LogFile(std::nullopt));
            const Report report = diagnose(processSurroundings(), line.signer);
            std::cout << (line.json ? renderJson(report) : renderText(report));
            return report.readyToSign() ? 0 : 1;
        }
        case Command::selfTest: {
            protocol::RequestServices services = systemServices();
            services.caller = "kivo-signing-host --self-test";
            return runSelfTest(processSurroundings(), services, line.signer, std::cout);
        }
    }
    return 2;
}

}  // namespace kivo::diagnostics
