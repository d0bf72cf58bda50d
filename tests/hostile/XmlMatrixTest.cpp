// Hostile XML inside sign requests that reach the signer: entity bombs, external entities
// (a local file and a listener on 127.0.0.1 that must never be contacted), deep nesting, huge
// numbers of attributes and namespace declarations, and oversized text.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <random>

#include "HostileHost.h"
#include "SigningStore.h"
#include "certs/Encodings.h"
#include "support/XmlsecVerifier.h"

namespace kivo::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A TCP listener on 127.0.0.1 that never accepts. A client's connection completes in the kernel
// and waits in the backlog, so afterwards the socket tells whether anyone tried.
class LoopbackListener {
  public:
    LoopbackListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(fd_, 16) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    ~LoopbackListener() { ::close(fd_); }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
    }
    bool contacted() const {
        pollfd watch{fd_, POLLIN, 0};
        return ::poll(&watch, 1, 0) > 0;
    }

  private:
    int fd_;
    std::uint16_t port_ = 0;
};

// What an external reference may point at: a local file with contents no answer, log line or
// error output may ever show, and the listener.
struct Bait {
    TempDir dir;
    std::string secret = "kivo-secret-" + std::to_string(std::random_device{}());
    std::filesystem::path file = dir / "secret.txt";
    LoopbackListener listener;

    Bait() { writeFile(file, secret); }

    // Replaces {FILE} and {URL} in a document template.
    std::string filled(std::string text) const {
        for (const auto& [name, value] :
             {std::pair<std::string, std::string>{"{FILE}", file.string()},
              {"{URL}", listener.url("entity")}}) {
            for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
                text.replace(at, name.size(), value);
            }
        }
        return text;
    }

    void expectUntouched(const HostRun& run) const {
        EXPECT_FALSE(listener.contacted()) << "the host connected to " << listener.url("");
        for (const std::string& answer : run.answers) {
            EXPECT_EQ(answer.find(secret), std::string::npos) << "in an answer";
            const json parsed = json::parse(answer, nullptr, false);
            for (const json& entry : parsed.value("signed_data", json::array())) {
                const auto bytes = certs::base64DecodeStrict(entry.value("data", ""));
                ASSERT_TRUE(bytes.has_value());
                EXPECT_EQ(std::string(bytes->begin(), bytes->end()).find(secret), std::string::npos)
                    << "in a signed document";
            }
        }
        EXPECT_EQ(run.log.find(secret), std::string::npos) << "in the log";
        EXPECT_EQ(run.stderrText.find(secret), std::string::npos) << "in the error output";
    }
};

// ` a0="v" a1="v" ...`, or namespace declarations ` xmlns:p0="urn:p0" ...`.
std::string attributes(std::size_t count, bool namespaces = false) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        text += namespaces ? " xmlns:p" + n + "=\"urn:p" + n + "\"" : " a" + n + "=\"v\"";
    }
    return text;
}

std::string billionLaughs() {
    std::string dtd = R"(<!DOCTYPE Contract [<!ENTITY l0 "ha">)";
    for (int level = 1; level <= 10; ++level) {
        dtd += "<!ENTITY l" + std::to_string(level) + " \"" +
               repeated("&l" + std::to_string(level - 1) + ";", 10) + "\">";
    }
    return signableDocument("&l10;", "r", dtd + "]>");
}

std::string quadraticBlowup(bool inAttribute) {
    const std::string dtd =
        "<!DOCTYPE Contract [<!ENTITY big \"" + std::string(100000, 'x') + "\">]>";
    const std::string references = repeated("&big;", 100000);
    if (inAttribute) {
        return dtd + "<Contract><CounterpartData note=\"" + references +
               "\">c</CounterpartData><RenderedData>r</RenderedData></Contract>";
    }
    return signableDocument(references, "r", dtd);
}

std::string nestedElements(std::size_t depth) {
    return repeated("<e>", depth) + "x" + repeated("</e>", depth);
}

std::string withCounterpartAttributes(const std::string& attributeText) {
    return "<Contract><CounterpartData" + attributeText +
           ">c</CounterpartData><RenderedData>r</RenderedData></Contract>";
}

std::string attributeDeclarations(std::size_t count) {
    std::string dtd = "<!DOCTYPE Contract [<!ATTLIST CounterpartData";
    for (std::size_t i = 0; i < count; ++i) {
        dtd += " a" + std::to_string(i) + " CDATA \"v\"";
    }
    return signableDocument("c", "r", dtd + ">]>");
}

// Quotes, brackets and '>' where a careless reader of the document type declaration would end
// it early or late.
const std::string trickyDoctype =
    R"(<!DOCTYPE Contract [<!-- it's "]> --><!ENTITY q "it's ]> <x/>"><?pi "]>?>]>)";

struct RefusedDocument {
    const char* name;
    // Made when the case runs, so that this process stays small while the host is measured.
    std::function<std::string()> document;  // may hold {FILE} and {URL}
    std::string messageStart;
};

void PrintTo(const RefusedDocument& c, std::ostream* out) {
    *out << c.name;
}

class HostileXmlRefused : public ::testing::TestWithParam<RefusedDocument> {
  protected:
    static void SetUpTestSuite() { bait = new Bait(); }
    static void TearDownTestSuite() {
        delete bait;
        bait = nullptr;
    }
    static Bait* bait;
};

Bait* HostileXmlRefused::bait = nullptr;

TEST_P(HostileXmlRefused, AnswersInvalidXmlWithoutLoadingAnything) {
    const RefusedDocument& c = GetParam();
    const SigningStore& store = signingStore();
    const HostRun run =
        runHost(tools::frameMessage(signRequest({{"doc", bait->filled(c.document())}})), 1,
                store.environment());
    expectErrorRun(run, 104, "Invalid XML input: " + c.messageStart);
    expectMemoryBounded(run);
    bait->expectUntouched(run);
}

const std::string refusedLoad = "Refused to load external resource '";
const std::string entityGrowth = "entity references expand the document by more than 1048576 bytes";

INSTANTIATE_TEST_SUITE_P(
    Documents, HostileXmlRefused,
    ::testing::Values(
        RefusedDocument{"BillionLaughs", billionLaughs, entityGrowth},
        RefusedDocument{"QuadraticBlowupInText", [] { return quadraticBlowup(false); },
                        entityGrowth},
        RefusedDocument{"QuadraticBlowupInAttribute", [] { return quadraticBlowup(true); }, ""},
        RefusedDocument{"ExternalEntityFileUrl",
                        [] {
                            return signableDocument(
                                "&x;", "r",
                                R"(<!DOCTYPE Contract [<!ENTITY x SYSTEM "file://{FILE}">]>)");
                        },
                        refusedLoad + "file://"},
        RefusedDocument{"ExternalEntityPlainPath",
                        [] {
                            return signableDocument(
                                "&x;", "r", R"(<!DOCTYPE Contract [<!ENTITY x SYSTEM "{FILE}">]>)");
                        },
                        refusedLoad},
        RefusedDocument{"ExternalEntityLoopbackUrl",
                        [] {
                            return signableDocument(
                                "&x;", "r", R"(<!DOCTYPE Contract [<!ENTITY x SYSTEM "{URL}">]>)");
                        },
                        refusedLoad + "http://127.0.0.1:"},
        RefusedDocument{"ExternalParameterEntityLoopbackUrl",
                        [] {
                            return signableDocument(
                                "c", "r",
                                R"(<!DOCTYPE Contract [<!ENTITY % p SYSTEM "{URL}"> %p;]>)");
                        },
                        refusedLoad + "http://127.0.0.1:"},
        RefusedDocument{"ExternalEntityInAttribute",
                        [] {
                            return "<!DOCTYPE Contract [<!ENTITY x SYSTEM \"{URL}\">]>" +
                                   withCounterpartAttributes(" a=\"&x;\"");
                        },
                        ""},
        // Expansion beyond what libxml2 itself allows would become far more tree than request.
        RefusedDocument{"EntityExpansionOverOneMebibyte",
                        [] {
                            return signableDocument("c", repeated("&e;", 5000),
                                                    "<!DOCTYPE Contract [<!ENTITY e \"" +
                                                        repeated("<a/>", 250) + "\">]>");
                        },
                        entityGrowth},
        RefusedDocument{"MillionEntityReferencesInOneText",
                        [] {
                            return signableDocument(
                                "c", repeated("a&nbsp;", 1000000),
                                R"(<!DOCTYPE Contract [<!ENTITY nbsp "&#160;">]>)");
                        },
                        "too many entity references inside long text"},
        RefusedDocument{"HundredThousandLevels",
                        [] { return signableDocument("c", nestedElements(100000)); },
                        "Excessive depth in document"},
        RefusedDocument{"HundredThousandAttributes",
                        [] { return withCounterpartAttributes(attributes(100000)); },
                        "element 'CounterpartData' has more than 256 attributes (line 1)"},
        RefusedDocument{"ManyAttributesAfterATrickyDoctype",
                        [] { return trickyDoctype + withCounterpartAttributes(attributes(300)); },
                        "element 'CounterpartData' has more than 256 attributes"},
        RefusedDocument{"HundredThousandNamespaceDeclarations",
                        [] { return withCounterpartAttributes(attributes(100000, true)); },
                        "element 'CounterpartData' has more than 256 attributes"},
        RefusedDocument{"HundredThousandAttributeDeclarations",
                        [] { return attributeDeclarations(100000); },
                        "more than 256 attributes declared for element 'CounterpartData'"},
        RefusedDocument{"EntityHoldingHundredThousandAttributes",
                        [] {
                            return signableDocument("&e;", "r",
                                                    "<!DOCTYPE Contract [<!ENTITY e '<x" +
                                                        attributes(100000) + "/>'>]>");
                        },
                        "entity 'e': element 'x' has more than 256 attributes"},
        RefusedDocument{"ManyElementsUnderManyNamespaces",
                        [] {
                            return "<Contract" + attributes(250, true) +
                                   "><CounterpartData>c</CounterpartData><RenderedData>" +
                                   repeated("<e/>", 200000) + "</RenderedData></Contract>";
                        },
                        "too many namespace declarations in scope and attributes"},
        RefusedDocument{
            "AttributeValueOverTenMegabytes",
            [] { return withCounterpartAttributes(" a=\"" + std::string(10000001, 'v') + "\""); },
            ""}),
    [](const ::testing::TestParamInfo<RefusedDocument>& info) {
        return std::string(info.param.name);
    });

// Documents that look dangerous but are served: what they point at is never fetched, and what
// is signed verifies.
TEST(HostileXmlServed, ReferencesStayUnresolvedAndLimitsLeaveRoomForRealDocuments) {
    const SigningStore& store = signingStore();
    const Bait bait;
    const MeasuredHost host = startMeasuredHost(store.environment());
    const std::vector<std::pair<std::string, std::string>> documents{
        {"external DTD",
         bait.filled(signableDocument("c", "r", R"(<!DOCTYPE Contract SYSTEM "{URL}">)"))},
        {"XInclude",
         bait.filled(signableDocument(
             R"(<xi:include xmlns:xi="http://www.w3.org/2001/XInclude" href="{FILE}" parse="text"/>)",
             R"(<xi:include xmlns:xi="http://www.w3.org/2001/XInclude" href="{URL}"/>)"))},
        {"stylesheet instruction",
         bait.filled(signableDocument("c", "r", R"(<?xml-stylesheet href="{URL}"?>)"))},
        {"250 levels", signableDocument("c", nestedElements(250))},
        {"250 levels with siblings on each and 100000 leaves",
         signableDocument(
             repeated("<s/>", 1000),
             repeated("<e><s/>", 250) + repeated("<f/>", 100000) + repeated("</e>", 250))},
        {"256 attributes and namespace declarations",
         withCounterpartAttributes(attributes(200) + attributes(56, true))},
        // Only real attributes count towards the limit of 256.
        {"attribute look-alikes",
         signableDocument(R"(<e v=")" + repeated("a=b ", 300) + R"(>"/>)",
                          "<!--" + repeated(" a=b", 300) + "--><![CDATA[<x" +
                              repeated(" a='1'", 300) + ">]]><?pi" + repeated(" a=b", 300) + "?>",
                          trickyDoctype)},
        {"text node of 12 MB", signableDocument("c", std::string(12000000, 't'))},
        {"100000 entity references in paragraphs",
         signableDocument("c", repeated("<p>" + repeated("word&nbsp;", 10) + "</p>", 10000),
                          R"(<!DOCTYPE Contract [<!ENTITY nbsp "&#160;">]>)")},
        {"a thousand entity references",
         signableDocument(repeated("&p;", 1000), "r",
                          R"(<!DOCTYPE Contract [<!ENTITY p "party &amp; co ">]>)")},
    };
    std::size_t largest = 0;
    std::vector<std::string> answers;
    for (const auto& [what, document] : documents) {
        const std::string request = signRequest({{what, document}});
        largest = std::max(largest, request.size());
        ASSERT_TRUE(host->send(request)) << what;
        const std::optional<std::string> answer = host->answer();
        ASSERT_TRUE(answer.has_value()) << what;
        answers.push_back(*answer);
        const json parsed = json::parse(*answer);
        ASSERT_EQ(parsed.value("result", ""), "ok") << what << ": " << *answer;
        const auto bytes = certs::base64DecodeStrict(parsed["signed_data"][0].value("data", ""));
        ASSERT_TRUE(bytes.has_value()) << what;
        const std::string signedDocument(bytes->begin(), bytes->end());
        for (const char* element : {"CounterpartData", "RenderedData"}) {
            std::string output;
            EXPECT_EQ(verifyWithXmlsec(signedDocument, element, store.ca.certPem, output),
                      XmlsecVerdict::valid)
                << what << ", " << element << ": " << output;
        }
    }
    host->process().closeInput();
    HostRun run = finishRun(host, 0, largest);
    EXPECT_EQ(run.trailing, "");
    EXPECT_EQ(run.exitStatus, 0);
    expectMemoryBounded(run);
    run.answers = answers;
    bait.expectUntouched(run);
}

}  // namespace
}  // namespace kivo::testing
