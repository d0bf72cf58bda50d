#include <gtest/gtest.h>

#include <functional>

#include "foundation/SigningError.h"
#include "xmldsig/XmlSigner.h"

namespace kivo::xmldsig {
namespace {

// The filter is checked before anything is signed, so no real key is needed.
class FixedKey : public foundation::PrivateKey {
  public:
    bool isAlgorithmSupported(foundation::SignatureAlgorithm) const override { return true; }
    foundation::Bytes sign(foundation::SignatureAlgorithm, std::span<const std::uint8_t>) override {
        return foundation::Bytes(256, 1);
    }
};

TEST(SigningFilterTest, FilterMustSelectExactlyOneElement) {
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"<R><RenderedData/></R>", "//CounterpartData", "returned 0 results (expecting 1)"},
        {"<R><CounterpartData/><A><CounterpartData/></A></R>", "//CounterpartData",
         "returned 2 results (expecting 1)"},
        // Unprefixed name tests select elements in no namespace only.
        {"<R xmlns=\"urn:a\"><CounterpartData/></R>", "//CounterpartData",
         "returned 0 results (expecting 1)"},
        {"<R><CounterpartData a=\"1\"/></R>", "//CounterpartData/@a",
         "selected a node that is not an element"},
    };
    FixedKey key;
    const std::vector<std::function<void(XmlSigner&, const std::string&)>> operations = {
        [](XmlSigner& s, const std::string& f) { s.findOrCreateSignature(f); },
        [&](XmlSigner& s, const std::string& f) { s.signElement(key, std::nullopt, f); },
        [](XmlSigner& s, const std::string& f) { s.addRSAKeyValue("bW9k", "AQAB", f); },
    };
    for (const auto& [document, filter, outcome] : cases) {
        for (std::size_t i = 0; i < operations.size(); ++i) {
            SCOPED_TRACE(document + " operation " + std::to_string(i));
            XmlSigner signer(document);
            const std::string before = signer.canonicalText();
            try {
                operations[i](signer, filter);
                ADD_FAILURE() << "no error";
            } catch (const foundation::SigningError& error) {
                EXPECT_EQ(error.code(), foundation::error_code::badDocumentShape);
                EXPECT_EQ(error.message(), "XPath signing filter '" + filter + "' " + outcome);
            }
            // A refused operation leaves the tree as it was.
            EXPECT_EQ(signer.canonicalText(), before);
        }
    }
}

}  // namespace
}  // namespace kivo::xmldsig
