// kivo-bench: measures the signing host against its references, side by side in one run, and
// prints one tab-separated line per figure:
//
//   ROW <figure> <ours> <reference> <ratio> <target> <met: yes|no|->
//
// Subcommands (each takes --host PATH, --runs N, --work DIR and --env NAME=VALUE, repeatable,
// for the host's environment):
//   startup --echo PATH                        version round trip against a C echo program
//   sign    --sizes BYTES[,BYTES] SIGNER KEYS  one document per request against xmlsec1 --sign
//   batch   --count N --size BYTES SIGNER KEYS N documents in one request against N xmlsec1 runs
//   typical --count N --size BYTES SIGNER KEYS N documents in one request, spawn to answer
//   search  SIGNER [--spread TEXT]             version request with user_details (TEXT: how the
//                                              identities are spread over the stores)
//   idle    --idle-host PATH --modules TEXT SIGNER   the certificate search with idle modules
//                                              registered (the host PATH sees them, --host does
//                                              not; TEXT names them)
//   memory  --sizes BYTES[,BYTES] SIGNER       the host's peak resident memory
//   document --size BYTES --out FILE           writes a generated document (for profiling)
// SIGNER is --name --email --abn --aki; KEYS is --key PEM --cert PEM --ca PEM (the CA checks
// that both signers' outputs verify before anything is timed). sign, batch, typical, memory and
// document take --shape dense|payload (default dense): the element-dense document or the payload
// shape users send (ordinary rows and one large Base64 text). --label TEXT names the identity's
// store in the figure.

#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "DocumentGenerator.h"
#include "ProcessRuns.h"
#include "foundation/Encodings.h"

namespace {

using kivo::bench::median;
using kivo::bench::Milliseconds;
using json = nlohmann::json;

struct Options {
    std::string command;
    std::map<std::string, std::string> values;
    std::map<std::string, std::string> environment;

    const std::string& required(const std::string& name) const {
        const auto found = values.find(name);
        if (found == values.end()) {
            throw std::invalid_argument("missing --" + name);
        }
        return found->second;
    }
    int number(const std::string& name, int fallback) const {
        const auto found = values.find(name);
        return found == values.end() ? fallback : std::stoi(found->second);
    }
    std::vector<std::size_t> sizes() const {
        std::vector<std::size_t> result;
        std::stringstream list(required("sizes"));
        for (std::string item; std::getline(list, item, ',');) {
            result.push_back(std::stoul(item));
        }
        return result;
    }
    std::filesystem::path work() const { return required("work"); }
    kivo::bench::DocumentShape shape() const {
        const auto found = values.find("shape");
        if (found == values.end() || found->second == "dense") {
            return kivo::bench::DocumentShape::ElementDense;
        }
        if (found->second == "payload") {
            return kivo::bench::DocumentShape::Payload;
        }
        throw std::invalid_argument("--shape wants dense or payload");
    }
    std::string shapeLabel() const {
        return shape() == kivo::bench::DocumentShape::Payload ? "payload-shape" : "element-dense";
    }
    // How the figure names the identity's store, when given.
    std::string identityLabel() const {
        const auto found = values.find("label");
        return found == values.end() ? "" : ", " + found->second;
    }
};

Options parseOptions(int argc, char** argv) {
    if (argc < 2) {
        throw std::invalid_argument(
            "usage: kivo-bench startup|sign|batch|typical|search|memory|document ...");
    }
    Options options;
    options.command = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name.rfind("--", 0) != 0) {
            throw std::invalid_argument("unexpected argument " + name);
        }
        if (name == "--env") {
            const auto equals = value.find('=');
            if (equals == std::string::npos) {
                throw std::invalid_argument("--env wants NAME=VALUE");
            }
            options.environment[value.substr(0, equals)] = value.substr(equals + 1);
        } else {
            options.values[name.substr(2)] = value;
        }
    }
    return options;
}

std::string sizeLabel(std::size_t bytes) {
    if (bytes >= 1024 * 1024) {
        return std::to_string(bytes / (1024 * 1024)) + " MB";
    }
    return std::to_string(bytes / 1024) + " KB";
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void printRow(const std::string& figure, const std::string& ours, const std::string& reference,
              const std::string& ratio, const std::string& target, const std::string& met) {
    std::cout << "ROW\t" << figure << '\t' << ours << '\t' << reference << '\t' << ratio << '\t'
              << target << '\t' << met << std::endl;
}

void writeFile(const std::filesystem::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

json userDetails(const Options& options) {
    return {{"name", options.required("name")},
            {"email", options.required("email")},
            {"abn", options.required("abn")},
            {"aki", json::array({options.required("aki")})}};
}

std::string signRequest(const Options& options, const std::vector<std::string>& documents) {
    json entries = json::array();
    for (std::size_t i = 0; i < documents.size(); ++i) {
        const auto& text = documents[i];
        entries.push_back(
            {{"id", "doc-" + std::to_string(i + 1)},
             {"data", kivo::foundation::base64Encode(std::span(
                          reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))}});
    }
    return json{{"type", "sign"}, {"user_details", userDetails(options)}, {"xml_data", entries}}
        .dump();
}

// The answer must be a successful sign answer with one signed document per request entry.
json checkedSignAnswer(const std::string& answer, std::size_t documents) {
    const json parsed = json::parse(answer);
    if (parsed.value("result", "") != "ok" || !parsed.contains("signed_data") ||
        parsed["signed_data"].size() != documents) {
        throw std::runtime_error("the host did not sign: " + answer.substr(0, 300));
    }
    return parsed;
}

std::string decodedDocument(const json& answer, std::size_t index) {
    const auto bytes = kivo::foundation::base64DecodeStrict(
        answer["signed_data"][index]["data"].get_ref<const std::string&>());
    if (!bytes) {
        throw std::runtime_error("signed document is not base64");
    }
    return std::string(bytes->begin(), bytes->end());
}

std::string signatureXPath(std::string_view element) {
    return "//*[local-name()='" + std::string(element) + "']/*[local-name()='Signature']";
}

// The reference signer: two xmlsec1 runs, one per Signature of the template, the second on the
// output of the first.
Milliseconds xmlsecSign(const Options& options, const std::filesystem::path& templateFile,
                        const std::filesystem::path& output) {
    const std::string keys = options.required("key") + "," + options.required("cert");
    const std::string halfway = output.string() + ".half";
    Milliseconds total{};
    std::string input = templateFile.string();
    for (const auto& [element, target] :
         {std::pair{"CounterpartData", halfway}, std::pair{"RenderedData", output.string()}}) {
        total += kivo::bench::runCommand({"xmlsec1", "--sign", "--privkey-pem", keys,
                                          "--enabled-reference-uris", "empty", "--node-xpath",
                                          signatureXPath(element), "--output", target, input});
        input = target;
    }
    return total;
}

void verifyBothSignatures(const Options& options, const std::filesystem::path& document) {
    for (const char* element : {"CounterpartData", "RenderedData"}) {
        kivo::bench::runCommand({"xmlsec1", "--verify", "--enabled-reference-uris", "empty",
                                 "--trusted-pem", options.required("ca"), "--node-xpath",
                                 signatureXPath(element), document.string()});
    }
}

// Runs `ours` and `reference` alternately (which goes first swaps every run) after one untimed
// warm-up of each, and returns the two medians.
std::pair<double, double> sideBySide(int runs, const std::function<double()>& ours,
                                     const std::function<double()>& reference) {
    ours();
    reference();
    std::vector<double> oursTimes;
    std::vector<double> referenceTimes;
    for (int run = 0; run < runs; ++run) {
        if (run % 2 == 0) {
            oursTimes.push_back(ours());
            referenceTimes.push_back(reference());
        } else {
            referenceTimes.push_back(reference());
            oursTimes.push_back(ours());
        }
    }
    return {median(oursTimes), median(referenceTimes)};
}

void benchStartup(const Options& options) {
    const std::string request = R"({"type":"version"})";
    const auto [host, echo] = sideBySide(
        options.number("runs", 15),
        [&] {
            const auto run =
                kivo::bench::runHost(options.required("host"), options.environment, {request});
            if (json::parse(run.answers.front()).value("result", "") != "ok") {
                throw std::runtime_error("version request failed: " + run.answers.front());
            }
            return run.untilAnswer.count();
        },
        [&] {
            return kivo::bench::runHost(options.required("echo"), {}, {request})
                .untilAnswer.count();
        });
    printRow("Start-up: spawn to version answer (ms)", fixed(host, 2), fixed(echo, 2) + " (C echo)",
             fixed(host / echo, 1) + "x", "within 1 ms of the echo",
             host - echo <= 1.0 ? "yes" : "no (+" + fixed(host - echo, 1) + " ms)");
}

void benchSign(const Options& options) {
    const auto work = options.work();
    for (const std::size_t size : options.sizes()) {
        const std::string document = kivo::bench::makeDocument(size, 1, options.shape());
        const std::string stem = options.shapeLabel() + "-" + std::to_string(size);
        const auto templateFile = work / ("template-" + stem + ".xml");
        const auto xmlsecOutput = work / ("xmlsec1-signed-" + stem + ".xml");
        const auto hostOutput = work / ("host-signed-" + stem + ".xml");
        writeFile(templateFile, kivo::bench::withSignatureTemplates(document));
        const std::string request = signRequest(options, {document});

        // Both signers' outputs must verify before their times mean anything.
        const auto checked =
            kivo::bench::runHost(options.required("host"), options.environment, {request});
        writeFile(hostOutput, decodedDocument(checkedSignAnswer(checked.answers.front(), 1), 0));
        verifyBothSignatures(options, hostOutput);
        xmlsecSign(options, templateFile, xmlsecOutput);
        verifyBothSignatures(options, xmlsecOutput);

        const auto [host, xmlsec] = sideBySide(
            options.number("runs", 5),
            [&] {
                const auto run =
                    kivo::bench::runHost(options.required("host"), options.environment, {request});
                checkedSignAnswer(run.answers.front(), 1);
                return run.untilAnswer.count();
            },
            [&] { return xmlsecSign(options, templateFile, xmlsecOutput).count(); });
        const bool targeted = size >= 1024 * 1024;
        printRow("Sign one " + sizeLabel(size) + " " + options.shapeLabel() + " document" +
                     options.identityLabel() + " (ms)",
                 fixed(host, 1), fixed(xmlsec, 1) + " (xmlsec1)", fixed(host / xmlsec, 2) + "x",
                 targeted ? "at most 0.5x" : "-",
                 targeted ? (host / xmlsec <= 0.5 ? "yes" : "no") : "-");
    }
}

void benchBatch(const Options& options) {
    const int count = options.number("count", 100);
    const auto size = static_cast<std::size_t>(options.number("size", 20 * 1024));
    const auto work = options.work();
    std::vector<std::string> documents;
    std::vector<std::filesystem::path> templates;
    for (int i = 0; i < count; ++i) {
        documents.push_back(
            kivo::bench::makeDocument(size, static_cast<std::uint32_t>(i + 1), options.shape()));
        templates.push_back(work / ("batch-template-" + std::to_string(i) + ".xml"));
        writeFile(templates.back(), kivo::bench::withSignatureTemplates(documents.back()));
    }
    const std::string request = signRequest(options, documents);
    const auto output = work / "batch-xmlsec1-signed.xml";
    const auto [host, xmlsec] = sideBySide(
        options.number("runs", 3),
        [&] {
            const auto run =
                kivo::bench::runHost(options.required("host"), options.environment, {request});
            checkedSignAnswer(run.answers.front(), static_cast<std::size_t>(count));
            return run.untilAnswer.count();
        },
        [&] {
            Milliseconds total{};
            for (const auto& file : templates) {
                total += xmlsecSign(options, file, output);
            }
            return total.count();
        });
    const double oursRate = count * 1000.0 / host;
    const double referenceRate = count * 1000.0 / xmlsec;
    printRow("Batch: " + std::to_string(count) + " x " + sizeLabel(size) +
                 " documents in one request (documents/s)",
             fixed(oursRate, 1), fixed(referenceRate, 1) + " (xmlsec1, two runs per document)",
             fixed(host / xmlsec, 2) + "x time", "-", "-");
}

// The request a user typically sends: a few documents in one sign request, timed from spawning
// the host to receiving its answer (the browser starts a host per request).
void benchTypical(const Options& options) {
    const int count = options.number("count", 5);
    const auto size = static_cast<std::size_t>(options.number("size", 100 * 1024));
    const auto work = options.work();
    std::vector<std::string> documents;
    for (int i = 0; i < count; ++i) {
        documents.push_back(
            kivo::bench::makeDocument(size, static_cast<std::uint32_t>(i + 1), options.shape()));
    }
    const std::string request = signRequest(options, documents);
    const auto first =
        kivo::bench::runHost(options.required("host"), options.environment, {request});
    const json answer = checkedSignAnswer(first.answers.front(), documents.size());
    for (std::size_t i = 0; i < documents.size(); ++i) {
        const auto output = work / ("typical-signed-" + std::to_string(i) + ".xml");
        writeFile(output, decodedDocument(answer, i));
        verifyBothSignatures(options, output);
    }
    std::vector<double> times;
    for (int run = 0; run < options.number("runs", 9); ++run) {
        const auto result =
            kivo::bench::runHost(options.required("host"), options.environment, {request});
        checkedSignAnswer(result.answers.front(), documents.size());
        times.push_back(result.untilAnswer.count());
    }
    const double ours = median(times);
    printRow("Typical request: " + std::to_string(count) + " x " + sizeLabel(size) + " " +
                 options.shapeLabel() + " documents" + options.identityLabel() +
                 ", spawn to answer (ms)",
             fixed(ours, 1), "-", "-", "25 ms or less", ours <= 25 ? "yes" : "no");
}

void benchSearch(const Options& options) {
    const std::string plain = R"({"type":"version"})";
    const std::string withSigner =
        json{{"type", "version"}, {"user_details", userDetails(options)}}.dump();
    std::vector<double> search;
    std::vector<double> floor;
    const int runs = options.number("runs", 5);
    for (int run = 0; run <= runs; ++run) {
        // The first request absorbs the end of process start-up; the second is the floor of a
        // version request.
        const auto result = kivo::bench::runHost(options.required("host"), options.environment,
                                                 {plain, plain, withSigner});
        const json answer = json::parse(result.answers.back());
        if (answer.value("result", "") != "ok" || !answer.contains("cert_serial")) {
            throw std::runtime_error("the certificate search failed: " + result.answers.back());
        }
        if (run > 0) {  // the first round warms the caches
            floor.push_back(result.requestTimes[1].count());
            search.push_back(result.requestTimes[2].count());
        }
    }
    const double ours = median(search);
    const auto spread = options.values.find("spread");
    printRow("Certificate search: version request with user_details, " +
                 options.required("identities") + " identities" +
                 (spread == options.values.end() ? "" : " (" + spread->second + ")") + " (ms)",
             fixed(ours, 1), fixed(median(floor), 1) + " (version request without)", "-",
             "under 50 ms", ours < 50 ? "yes" : "no");
}

// The search's cost of modules that find nothing: the same version request with user_details
// through two hosts, one seeing only the signer's module and one seeing the idle ones too, run
// alternately. A host's first search loads and starts the modules' libraries; a later one in the
// same host starts them again.
void benchIdleModules(const Options& options) {
    const std::string plain = R"({"type":"version"})";
    const std::string withSigner =
        json{{"type", "version"}, {"user_details", userDetails(options)}}.dump();
    std::map<std::string, std::array<std::vector<double>, 2>> times;
    for (int run = 0; run <= options.number("runs", 5); ++run) {
        for (const char* host : {"host", "idle-host"}) {
            // The first request absorbs the end of process start-up.
            const auto result = kivo::bench::runHost(options.required(host), options.environment,
                                                     {plain, withSigner, withSigner});
            if (json::parse(result.answers.back()).value("cert_serial", "").empty()) {
                throw std::runtime_error("the certificate search failed: " + result.answers.back());
            }
            for (std::size_t search = 0; run > 0 && search < 2; ++search) {
                times[host][search].push_back(result.requestTimes[search + 1].count());
            }
        }
    }
    for (std::size_t search = 0; search < 2; ++search) {
        const double ours = median(times["idle-host"][search]);
        const double alone = median(times["host"][search]);
        printRow(std::string(search == 0 ? "First" : "Later") +
                     " certificate search of a host, token signer, with idle modules registered: " +
                     options.required("modules") + " (ms)",
                 fixed(ours, 1), fixed(alone, 1) + " (without them)",
                 (ours >= alone ? "+" : "") + fixed(ours - alone, 1) + " ms", "-", "-");
    }
}

void benchMemory(const Options& options) {
    for (const std::size_t size : options.sizes()) {
        const std::string request =
            signRequest(options, {kivo::bench::makeDocument(size, 1, options.shape())});
        std::vector<double> peaks;
        for (int run = 0; run < options.number("runs", 1); ++run) {
            const auto result =
                kivo::bench::runHost(options.required("host"), options.environment, {request});
            checkedSignAnswer(result.answers.front(), 1);
            peaks.push_back(static_cast<double>(result.peakMemoryKiB.value_or(0)) * 1024);
        }
        const double peak = median(peaks);
        const double multiple = peak / static_cast<double>(request.size());
        const double mebibyte = 1024.0 * 1024.0;
        // The payload shape's tree is mostly one text node; element-dense documents cost a node
        // per few dozen bytes.
        const double allowed = options.shape() == kivo::bench::DocumentShape::Payload ? 4 : 8;
        printRow(
            "Peak memory, one " + sizeLabel(size) + " " + options.shapeLabel() + " document (MB)",
            fixed(peak / mebibyte, 1),
            fixed(static_cast<double>(request.size()) / mebibyte, 1) + " (request size)",
            fixed(multiple, 2) + "x", "at most " + fixed(allowed, 0) + "x the request",
            multiple <= allowed ? "yes" : "no");
    }
}

void writeDocument(const Options& options) {
    writeFile(options.required("out"),
              kivo::bench::makeDocument(static_cast<std::size_t>(options.number("size", 0)), 1,
                                        options.shape()));
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parseOptions(argc, argv);
        const std::map<std::string, void (*)(const Options&)> commands{
            {"startup", benchStartup},  {"sign", benchSign},        {"batch", benchBatch},
            {"typical", benchTypical},  {"search", benchSearch},    {"memory", benchMemory},
            {"idle", benchIdleModules}, {"document", writeDocument}};
        const auto command = commands.find(options.command);
        if (command == commands.end()) {
            throw std::invalid_argument("unknown subcommand " + options.command);
        }
        command->second(options);
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "kivo-bench: " << error.what() << '\n';
        return 1;
    }
}
