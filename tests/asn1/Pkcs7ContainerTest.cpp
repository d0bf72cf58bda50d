// The PKCS#7 view over real containers that openssl made (tests/data/asn1/make-certs.sh), and
// over damaged ones: the rows of tests/data/asn1/pkcs7.json.

#include "asn1/Pkcs7Container.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "TestBytes.h"
#include "support/TestCases.h"

namespace kivo::asn1 {
namespace {

using nlohmann::json;
using testing::hex;

TEST(Pkcs7Container, ContentTypeAndContentOfRealAndDamagedContainers) {
    const char* typeNames[] = {"none", "data", "signedData", "envelopedData"};
    for (const json& c : kivo::testing::testCases("asn1/pkcs7.json", "containers")) {
        SCOPED_TRACE(c[0].get<std::string>());
        const json& source = c[1];
        Bytes input = source.contains("hex")
                          ? hex(source["hex"].get<std::string>())
                          : testing::readBytes(source["file"].get<std::string>() + ".p7");
        if (source.contains("from")) {
            const auto found = std::ranges::search(input, hex(source["from"].get<std::string>()));
            ASSERT_FALSE(found.empty());
            std::ranges::copy(hex(source["to"].get<std::string>()), found.begin());
        }
        const long keep = source.value("keep", 0L);
        input.resize(static_cast<std::size_t>(keep > 0 ? keep : std::ssize(input) + keep));
        try {
            const auto container = Pkcs7Container::fromDer(input);
            EXPECT_TRUE(c[2].is_null()) << "built";
            EXPECT_EQ(typeNames[static_cast<int>(container->contentType())], c[3]);
            EXPECT_EQ(container->contentTypeOid(),
                      c[4].is_null()
                          ? std::nullopt
                          : std::optional("1.2.840.113549.1.7." + c[4].get<std::string>()));
            ASSERT_EQ(container->content() != nullptr, !c[5].is_null());
            if (!c[5].is_null()) {
                EXPECT_NE(container->content()->description().find(c[5].get<std::string>()),
                          std::string::npos);
            }
        } catch (const ASN1Exception& error) {
            EXPECT_EQ(c[2], std::string(errorName(error.error())));
        }
    }
}

}  // namespace
}  // namespace kivo::asn1
