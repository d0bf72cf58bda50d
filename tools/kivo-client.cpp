// kivo-client: sends requests to the signing host as a browser would and prints the answers.
//
//   kivo-client [--host PATH] [--timeout SECONDS] [--save-signed DIR] [REQUEST_JSON ...]
//
// Without REQUEST_JSON arguments, requests are read from standard input, one JSON text per line.
// Each answer is printed on its own line; the host's exit status is reported on standard error
// once its input is closed, and becomes this program's exit status. With --save-signed, every
// signed document of a sign answer is also written, decoded, to DIR/<id>.xml.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "HostClient.h"
#include "foundation/Encodings.h"

namespace {

// Writes each signed document of a sign answer to `folder`, named after its id.
void saveSignedDocuments(const std::string& answer, const std::filesystem::path& folder) {
    const auto parsed = nlohmann::json::parse(answer, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("signed_data")) {
        return;
    }
    std::filesystem::create_directories(folder);
    for (const auto& entry : parsed["signed_data"]) {
        const auto bytes = kivo::foundation::base64DecodeStrict(entry.value("data", ""));
        const std::string id = entry.value("id", "");
        if (!bytes || id.empty() || id.find('/') != std::string::npos) {
            std::cerr << "kivo-client: cannot save signed document '" << id << "'\n";
            continue;
        }
        const auto path = folder / (id + ".xml");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes->data()),
                   static_cast<std::streamsize>(bytes->size()));
        std::cerr << "kivo-client: signed document written to " << path.string() << '\n';
    }
}

int usage() {
    std::cerr << "usage: kivo-client [--host PATH] [--timeout SECONDS] [--save-signed DIR] "
                 "[REQUEST_JSON ...]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = KIVO_DEFAULT_HOST_BINARY;
    std::chrono::seconds timeout(120);
    std::vector<std::string> requests;
    std::optional<std::filesystem::path> saveFolder;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--host" && i + 1 < argc) {
            host = argv[++i];
        } else if (arg == "--timeout" && i + 1 < argc) {
            timeout = std::chrono::seconds(std::atoi(argv[++i]));
        } else if (arg == "--save-signed" && i + 1 < argc) {
            saveFolder = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            return usage();
        } else {
            requests.push_back(arg);
        }
    }
    if (requests.empty()) {
        for (std::string line; std::getline(std::cin, line);) {
            if (!line.empty()) {
                requests.push_back(line);
            }
        }
    }

    kivo::tools::HostOptions options;
    options.binary = host;
    kivo::tools::HostProcess process(options);
    for (const auto& request : requests) {
        if (!process.send(request)) {
            break;
        }
        const auto answer = process.readMessage(timeout);
        if (!answer) {
            std::cerr << "kivo-client: no answer from the host\n";
            break;
        }
        std::cout << *answer << '\n' << std::flush;
        if (saveFolder) {
            saveSignedDocuments(*answer, *saveFolder);
        }
    }
    process.closeInput();
    const auto status = process.waitForExit(timeout);
    if (!status) {
        std::cerr << "kivo-client: the host did not exit\n";
        return 1;
    }
    std::cerr << "kivo-client: host exit status " << *status << '\n';
    return *status;
}
