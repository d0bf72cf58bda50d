// The PKCS#7 view over real containers that openssl made (tests/data/asn1/make-certs.sh), and
// over damaged ones.

#include "asn1/Pkcs7Container.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "TestBytes.h"

namespace kivo::asn1 {
namespace {

using testing::hex;

Bytes blob(const std::string& name) {
    return testing::readBytes(name + ".p7");
}

Bytes edited(Bytes bytes, std::size_t at, std::uint8_t value) {
    bytes.at(at) = value;
    return bytes;
}

Bytes cut(const Bytes& bytes, std::size_t size) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

TEST(Pkcs7Container, ContentTypeAndContentOfRealAndDamagedContainers) {
    const Bytes signedOid = hex("06 09 2A 86 48 86 F7 0D 01 07 02");
    const Bytes bundle = blob("bundle");
    // The bundle's content type changed from ...7.2 to ...7.9.
    const auto oidEnd = std::ranges::search(bundle, signedOid).end() - bundle.begin();
    const std::string message = "Kivo container message";
    const auto none = Pkcs7ContentType::none;
    const struct {
        const char* what;
        Bytes input;
        std::optional<ASN1Error> error;  // from construction
        Pkcs7ContentType type;
        std::optional<std::string> oid;      // "1.2.840.113549.1.7." + this
        std::optional<std::string> content;  // none: no content; else text its description holds
    } cases[] = {
        {"data", blob("data"), {}, Pkcs7ContentType::data, "1", message},
        {"signed message", blob("signed"), {}, Pkcs7ContentType::signedData, "2", message},
        {"certificate bundle", bundle, {}, Pkcs7ContentType::signedData, "2", ""},
        {"enveloped", blob("enveloped"), {}, Pkcs7ContentType::envelopedData, "3", ""},
        {"digested, not named", blob("digested"), {}, none, "5", ""},
        {"unknown content type", edited(bundle, oidEnd - 1, 0x09), {}, none, "9", ""},
        {"outer SET", edited(blob("signed"), 0, 0x31), {}, none, {}, {}},
        {"cut by one octet",
         cut(blob("signed"), blob("signed").size() - 1),
         ASN1Error::outOfBuffer,
         none,
         {},
         {}},
        {"cut in half", cut(bundle, bundle.size() / 2), ASN1Error::outOfBuffer, none, {}, {}},
        {"cut to three octets", cut(blob("data"), 3), ASN1Error::outOfBuffer, none, {}, {}},
        {"nothing", {}, ASN1Error::parseError, none, {}, {}},
        {"OID alone",
         hex("30 0B 06 09 2A 86 48 86 F7 0D 01 07 02"),
         {},
         Pkcs7ContentType::signedData,
         "2",
         {}},
        {"content not explicit",
         hex("30 0F 06 09 2A 86 48 86 F7 0D 01 07 02 04 02 30 00"),
         {},
         Pkcs7ContentType::signedData,
         "2",
         {}},
        {"type not an OID", hex("30 04 04 02 2A 86"), {}, none, {}, {}},
        {"octet string", hex("04 03 41 42 43"), {}, none, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            const auto container = Pkcs7Container::fromDer(c.input);
            EXPECT_FALSE(c.error) << "built";
            EXPECT_EQ(container->contentType(), c.type);
            EXPECT_EQ(container->contentTypeOid(),
                      c.oid ? std::optional("1.2.840.113549.1.7." + *c.oid) : std::nullopt);
            ASSERT_EQ(container->content() != nullptr, c.content.has_value());
            if (c.content) {
                EXPECT_NE(container->content()->description().find(*c.content), std::string::npos);
            }
        } catch (const ASN1Exception& error) {
            EXPECT_EQ(std::optional(error.error()), c.error);
        }
    }
}

}  // namespace
}  // namespace kivo::asn1
