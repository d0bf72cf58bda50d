#include "DocumentGenerator.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace kivo::bench {
namespace {

// A small deterministic generator: the documents must not depend on the standard library's
// distributions.
class Lcg {
  public:
    explicit Lcg(std::uint32_t seed) : state_(seed * 2654435761u + 1) {}
    std::uint32_t next(std::uint32_t bound) {
        state_ = state_ * 1664525u + 1013904223u;
        return (state_ >> 8) % bound;
    }

  private:
    std::uint32_t state_;
};

constexpr std::array<std::string_view, 24> words{
    "the",      "buyer",     "seller",   "agrees", "to",       "deliver", "goods",  "within",
    "fourteen", "days",      "payment",  "&",      "interest", "<net>",   "\"as",   "is\"",
    "contract", "liability", "warranty", "Sydney", "—",        "A$",      "clause", "schedule"};

void appendSentence(std::string& out, Lcg& random, std::size_t wordCount) {
    for (std::size_t i = 0; i < wordCount; ++i) {
        if (i > 0) {
            out += ' ';
        }
        for (const char c : words[random.next(words.size())]) {
            switch (c) {
                case '&':
                    out += "&amp;";
                    break;
                case '<':
                    out += "&lt;";
                    break;
                case '>':
                    out += "&gt;";
                    break;
                default:
                    out += c;
            }
        }
    }
    out += '.';
}

// Sections of clauses with notes, until the part has about `budget` bytes.
void appendCounterpartContent(std::string& out, Lcg& random, std::size_t budget) {
    const std::size_t start = out.size();
    for (int section = 1; out.size() - start < budget; ++section) {
        out += "\n    <Section id=\"s" + std::to_string(section) + "\" kind=\"" +
               (section % 3 == 0 ? "schedule" : "terms") + "\">";
        out += "\n      <Title>";
        appendSentence(out, random, 3 + random.next(4));
        out += "</Title>";
        for (int clause = 1; clause <= 6 && out.size() - start < budget; ++clause) {
            out += "\n      <Clause n=\"" + std::to_string(clause) + "\" lang=\"en-AU\">";
            out += "\n        <Text>";
            appendSentence(out, random, 12 + random.next(20));
            out += "</Text>";
            if (clause % 2 == 0) {
                out += "\n        <Amount currency=\"AUD\" due=\"2026-0" +
                       std::to_string(1 + random.next(9)) + "-15\">" +
                       std::to_string(random.next(100000)) + ".00</Amount>";
            }
            out += "\n      </Clause>";
        }
        out += "\n    </Section>";
    }
    out += "\n  ";
}

// Pages of lines, each line with layout attributes, until the part has about `budget` bytes.
void appendRenderedContent(std::string& out, Lcg& random, std::size_t budget) {
    const std::size_t start = out.size();
    for (int page = 1; out.size() - start < budget; ++page) {
        out += "\n    <Page number=\"" + std::to_string(page) + "\">";
        for (int line = 1; line <= 40 && out.size() - start < budget; ++line) {
            out += "\n      <Line y=\"" + std::to_string(line * 18) + "\" font=\"serif\" size=\"" +
                   std::to_string(9 + random.next(4)) + "\">";
            appendSentence(out, random, 6 + random.next(10));
            out += "</Line>";
        }
        out += "\n    </Page>";
    }
    out += "\n  ";
}

// Rows of an ordinary business record (parties, items, amounts), until about `budget` bytes.
void appendRows(std::string& out, Lcg& random, std::size_t budget) {
    const std::size_t start = out.size();
    for (int row = 1; out.size() - start < budget; ++row) {
        out += "\n    <Row n=\"" + std::to_string(row) + "\">";
        out += "\n      <Party role=\"" + std::string(row % 2 == 0 ? "buyer" : "seller") + "\">";
        appendSentence(out, random, 2 + random.next(3));
        out += "</Party>";
        out += "\n      <Item code=\"C" + std::to_string(random.next(90000) + 10000) + "\">";
        appendSentence(out, random, 4 + random.next(6));
        out += "</Item>";
        out += "\n      <Quantity>" + std::to_string(1 + random.next(500)) + "</Quantity>";
        out += "\n      <Amount currency=\"AUD\">" + std::to_string(random.next(100000)) +
               ".00</Amount>";
        out += "\n    </Row>";
    }
    out += "\n  ";
}

// One Base64 text of about `budget` bytes, of bytes as incompressible as a rendered PDF's.
void appendPayload(std::string& out, Lcg& random, std::size_t budget) {
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::size_t quads = std::max<std::size_t>(budget / 4, 1);
    for (std::size_t i = 0; i < quads; ++i) {
        const std::uint32_t bits = random.next(1u << 24);
        for (int shift = 18; shift >= 0; shift -= 6) {
            out += alphabet[(bits >> shift) & 63];
        }
    }
}

void insertBefore(std::string& document, std::string_view closingTag, std::string_view text) {
    const std::size_t at = document.rfind(closingTag);
    if (at == std::string::npos) {
        throw std::invalid_argument("the document has no " + std::string(closingTag));
    }
    document.insert(at, text);
}

}  // namespace

std::string makeDocument(std::size_t targetBytes, std::uint32_t seed, DocumentShape shape) {
    Lcg random(seed);
    std::string out;
    out.reserve(targetBytes + 4096);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    // No default namespace: the signing filters name unqualified elements.
    out += "<Contract xmlns:meta=\"urn:kivo:bench:meta\" meta:version=\"2\">\n";
    out += "  <meta:Header created=\"2026-01-15T09:30:00Z\" reference=\"BENCH-" +
           std::to_string(seed) + "\"/>\n";
    const std::size_t half = targetBytes > 1024 ? (targetBytes - 512) / 2 : 256;
    out += "  <CounterpartData>";
    if (shape == DocumentShape::Payload) {
        appendRows(out, random, half);
    } else {
        appendCounterpartContent(out, random, half);
    }
    out += "</CounterpartData>\n";
    out += "  <RenderedData>";
    if (shape == DocumentShape::Payload) {
        appendPayload(out, random, half);
    } else {
        appendRenderedContent(out, random, half);
    }
    out += "</RenderedData>\n";
    out += "</Contract>\n";
    return out;
}

std::string signatureTemplate(std::string_view elementName) {
    return std::string(
               "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>"
               "<CanonicalizationMethod "
               "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments\"/>"
               "<SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>"
               "<Reference URI=\"\"><Transforms>"
               "<Transform Algorithm=\"http://www.w3.org/2002/06/xmldsig-filter2\">"
               "<XPath xmlns=\"http://www.w3.org/2002/06/xmldsig-filter2\" "
               "Filter=\"intersect\">//") +
           std::string(elementName) +
           "</XPath></Transform>"
           "<Transform Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"/>"
           "<Transform Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments\"/>"
           "</Transforms>"
           "<DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/><DigestValue/>"
           "</Reference></SignedInfo><SignatureValue/>"
           "<KeyInfo><X509Data/><KeyValue/></KeyInfo></Signature>";
}

std::string withSignatureTemplates(std::string_view document) {
    std::string result(document);
    insertBefore(result, "</CounterpartData>", signatureTemplate("CounterpartData"));
    insertBefore(result, "</RenderedData>", signatureTemplate("RenderedData"));
    return result;
}

}  // namespace kivo::bench
