// Hostile framing, JSON and XML: each request ends its own host with one answer, within the
// memory bound, and nothing outside the request (here a local file) is ever loaded.

#include <functional>
#include <random>

#include "HostileHost.h"

namespace kivo::testing {
namespace {

struct Input {
    const char* name;
    // Made when the case runs, so that this process stays small while the host is measured.
    std::function<std::string(const std::string& secretFile)> bytes;
    std::int64_t code;  // 0: served
    std::string messageStart;
};

void PrintTo(const Input& c, std::ostream* out) {
    *out << c.name;
}

class HostileInput : public ::testing::TestWithParam<Input> {};

TEST_P(HostileInput, AnsweredOnceWithinTheMemoryBound) {
    const Input& c = GetParam();
    // Contents no answer, log line or error output may ever show.
    const TempDir dir;
    const std::string secret = "kivo-secret-" + std::to_string(std::random_device{}());
    writeFile(dir / "secret.txt", secret);
    const HostRun run = runHost(c.bytes((dir / "secret.txt").string()), signingEnvironment());
    expectRun(run, c.code, c.messageStart);
    // Memory follows the bytes that came, not a length announced.
    expectMemoryBounded(run);
    for (const std::string& output : run.answers) {
        EXPECT_EQ(output.find(secret), std::string::npos);
    }
    EXPECT_EQ(run.log.find(secret), std::string::npos);
    EXPECT_EQ(run.stderrText.find(secret), std::string::npos);
}

// A DTD giving element `a` `count` attributes with default values.
std::string defaultsFor(int count) {
    std::string dtd = "<!DOCTYPE Contract [<!ATTLIST a";
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        dtd += " p" + n + " CDATA \"urn:x" + n + "\"";
    }
    return dtd + ">]>";
}

const std::string clef = R"({"type":"version","msg_source":"𝄞"})";
const std::string parseFailure = "Failed to parse JSON request - ";
const std::string entityGrowth =
    "Invalid XML input: entity references expand the document by more than 1048576 bytes";

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileInput,
    ::testing::Values(
        Input{"CutInsideACharacter",
              [](auto&) {
                  return tools::announcedFrame(static_cast<std::uint32_t>(clef.size()),
                                               clef.substr(0, clef.find("𝄞") + 2));
              },
              101, parseFailure},
        Input{"TwoGigabytesWithAWholeRequest",
              [](auto&) { return tools::announcedFrame(0x80000000u, R"({"type":"version"})"); }, 0,
              ""},
        Input{"FourGigabytesWithAMegabyte",
              [](auto&) {
                  return tools::announcedFrame(0xFFFFFFFFu, R"({"type":"version","msg_source":")" +
                                                                std::string(1 << 20, 'x'));
              },
              101, parseFailure},
        Input{"MillionNestedObjects",
              [](auto&) { return tools::frameMessage(repeated(R"({"a":)", 1000000)); }, 101,
              parseFailure},
        Input{"HugeUnknownType",
              [](auto&) {
                  return tools::frameMessage(R"({"type":"s)" + std::string(8 << 20, 'x') + R"("})");
              },
              101, "Request type is unknown: sxxxxxxxx"},
        // The decoder quotes the bytes it stopped at; the answer must still be valid UTF-8.
        Input{"BadUtf8OutsideStrings",
              [](auto&) {
                  return tools::frameMessage(std::string(R"({"type":"version"})") + "\xA0\xFF");
              },
              101, parseFailure},
        Input{"BillionLaughs",
              [](auto&) {
                  std::string dtd = R"(<!DOCTYPE Contract [<!ENTITY l0 "ha">)";
                  for (int level = 1; level <= 10; ++level) {
                      dtd += "<!ENTITY l" + std::to_string(level) + " \"" +
                             repeated("&l" + std::to_string(level - 1) + ";", 10) + "\">";
                  }
                  return signRequest(signableDocument("&l10;", "r", dtd + "]>"));
              },
              104, entityGrowth},
        Input{"ExternalEntityFileUrl",
              [](const std::string& file) {
                  return signRequest(signableDocument(
                      "&x;", "r",
                      "<!DOCTYPE Contract [<!ENTITY x SYSTEM \"file://" + file + "\">]>"));
              },
              104, "Invalid XML input: Refused to load external resource 'file://"},
        Input{"MillionEntityReferencesInOneText",
              [](auto&) {
                  return signRequest(
                      signableDocument("c", repeated("a&nbsp;", 1000000),
                                       R"(<!DOCTYPE Contract [<!ENTITY nbsp "&#160;">]>)"));
              },
              104, "Invalid XML input: too many entity references inside long text"},
        Input{"HundredThousandLevels",
              [](auto&) {
                  return signRequest(
                      signableDocument("c", repeated("<e>", 100000) + repeated("</e>", 100000)));
              },
              104, "Invalid XML input: Excessive depth in document"},
        Input{"HundredThousandAttributes",
              [](auto&) {
                  std::string attributes;
                  for (int i = 0; i < 100000; ++i) {
                      attributes += " a" + std::to_string(i) + "=\"v\"";
                  }
                  return signRequest(
                      "<Contract><CounterpartData" + attributes +
                      ">c</CounterpartData><RenderedData>r</RenderedData></Contract>");
              },
              104,
              "Invalid XML input: element 'CounterpartData' has more than 256 attributes (line 1)"},
        Input{"DefaultedAttributes",
              [](auto&) {
                  return signRequest(
                      signableDocument("c", repeated("<a/>", 250000), defaultsFor(256)));
              },
              104,
              "Invalid XML input: too many attributes supplied by defaults in the DTD (line 1)"},
        Input{"MoreThan256AttributesDeclared",
              [](auto&) { return signRequest(signableDocument("c", "<a/>", defaultsFor(257))); },
              104, "Invalid XML input: more than 256 attributes declared for element 'a'"},
        // As deep as real documents may be, and wide: a tree of many tiny nodes is the densest.
        Input{"TwoHundredFiftyLevelsWithHundredThousandLeaves",
              [](auto&) {
                  return signRequest(signableDocument(
                      repeated("<s/>", 1000),
                      repeated("<e><s/>", 250) + repeated("<f/>", 100000) + repeated("</e>", 250)));
              },
              0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kivo::testing
