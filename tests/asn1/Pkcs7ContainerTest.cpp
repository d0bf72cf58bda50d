// The PKCS#7 view over real containers that openssl makes at test time, and over damaged ones.

#include "asn1/Pkcs7Container.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "TestBytes.h"
#include "support/TestPki.h"

namespace kivo::asn1 {
namespace {

using testing::hex;

const std::string message = "Kivo container message";

Bytes joined(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// One blob of each kind, made once: data, signed data (a signed message and a certificate
// bundle), enveloped data, and digested data, which this view does not name.
class Pkcs7Blobs : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = std::make_unique<kivo::testing::TempDir>();
        const auto in = [](const char* name) { return (*folder_ / name).string(); };
        const auto openssl = [&](const char* out, std::vector<std::string> command) {
            command.insert(command.begin(), "openssl");
            command.insert(command.end(), {"-outform", "DER", "-out", in(out)});
            kivo::testing::runProgram(command);
        };
        kivo::testing::writeFile(*folder_ / "message.txt", message);
        kivo::testing::runProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                   "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=Kivo-PKCS7",
                                   "-days", "1", "-keyout", in("key.pem"), "-out", in("cert.pem")});
        openssl("data", {"cms", "-data_create", "-in", in("message.txt")});
        openssl("signed", {"cms", "-sign", "-nodetach", "-in", in("message.txt"), "-signer",
                           in("cert.pem"), "-inkey", in("key.pem")});
        openssl("bundle", {"crl2pkcs7", "-nocrl", "-certfile", in("cert.pem")});
        openssl("enveloped", {"cms", "-encrypt", "-aes-128-cbc", "-in", in("message.txt"), "-recip",
                              in("cert.pem")});
        openssl("digested", {"cms", "-digest_create", "-in", in("message.txt")});
    }
    static void TearDownTestSuite() { folder_.reset(); }
    static Bytes blob(const std::string& name) { return kivo::testing::readBytes(*folder_ / name); }

    static inline std::unique_ptr<kivo::testing::TempDir> folder_;
};

TEST_F(Pkcs7Blobs, RecognisesTheContentTypeOfRealContainers) {
    const struct {
        const char* name;
        Pkcs7ContentType type;
        const char* oid;
    } cases[] = {
        {"data", Pkcs7ContentType::data, "1.2.840.113549.1.7.1"},
        {"signed", Pkcs7ContentType::signedData, "1.2.840.113549.1.7.2"},
        {"bundle", Pkcs7ContentType::signedData, "1.2.840.113549.1.7.2"},
        {"enveloped", Pkcs7ContentType::envelopedData, "1.2.840.113549.1.7.3"},
        {"digested", Pkcs7ContentType::none, "1.2.840.113549.1.7.5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto container = Pkcs7Container::fromDer(blob(c.name));
        EXPECT_EQ(container->contentType(), c.type);
        EXPECT_EQ(container->contentTypeOid(), c.oid);
        ASSERT_NE(container->content(), nullptr);
    }
    // The data content is the message itself; signed and enveloped data begin with a version.
    EXPECT_EQ(Pkcs7Container::fromDer(blob("data"))->content()->textValue(), message);
    for (const char* name : {"signed", "bundle", "enveloped"}) {
        const auto version = Pkcs7Container::fromDer(blob(name))->content()->childAt(0);
        ASSERT_NE(version, nullptr) << name;
        EXPECT_EQ(version->identifier(), ASN1Identifier(0x02)) << name;
    }
    // The signed message carries its text inside the encapsulated content.
    const auto signedContent = Pkcs7Container::fromDer(blob("signed"))->content();
    EXPECT_NE(signedContent->description().find(message), std::string::npos);
}

TEST_F(Pkcs7Blobs, DamagedContainersAnswerAbsenceOrFailOnlyWhenBuilt) {
    const Bytes signedOid = hex("06 09 2A 86 48 86 F7 0D 01 07 02");
    for (const char* name : {"data", "signed", "bundle", "enveloped"}) {
        SCOPED_TRACE(name);
        const Bytes whole = blob(name);
        // Cut anywhere inside: the decoder runs out of bytes.
        for (const std::size_t length : {whole.size() - 1, whole.size() / 2, std::size_t{3}}) {
            try {
                (void)Pkcs7Container::fromDer(std::span(whole).first(length));
                ADD_FAILURE() << "accepted " << length << " of " << whole.size() << " octets";
            } catch (const ASN1Exception& error) {
                EXPECT_EQ(error.error(), ASN1Error::outOfBuffer);
            }
        }
        // Another outer tag (SET instead of SEQUENCE): a container of no known type.
        Bytes wrongOuter = whole;
        wrongOuter[0] = 0x31;
        const auto outer = Pkcs7Container::fromDer(wrongOuter);
        EXPECT_EQ(outer->contentType(), Pkcs7ContentType::none);
        EXPECT_EQ(outer->contentTypeOid(), std::nullopt);
        EXPECT_EQ(outer->content(), nullptr);
    }

    Bytes renamed = blob("bundle");
    const auto at = std::ranges::search(renamed, signedOid).begin();
    ASSERT_NE(at, renamed.end());
    *(at + static_cast<std::ptrdiff_t>(signedOid.size()) - 1) = 0x09;
    const auto unknown = Pkcs7Container::fromDer(renamed);
    EXPECT_EQ(unknown->contentType(), Pkcs7ContentType::none);
    EXPECT_EQ(unknown->contentTypeOid(), "1.2.840.113549.1.7.9");
    EXPECT_NE(unknown->content(), nullptr);

    const struct {
        const char* what;
        Bytes input;
    } shapes[] = {
        {"OID alone", joined(hex("30 0B"), signedOid)},
        {"content not explicit", joined(joined(hex("30 0F"), signedOid), hex("04 02 30 00"))},
        {"type not an OID", hex("30 04 04 02 2A 86")},
        {"octet string", hex("04 03 41 42 43")},
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.what);
        const auto container = Pkcs7Container::fromDer(shape.input);
        EXPECT_EQ(container->content(), nullptr);
        EXPECT_EQ(container->contentType() == Pkcs7ContentType::signedData,
                  container->contentTypeOid().has_value());
    }

    try {
        (void)Pkcs7Container::fromDer({});
        ADD_FAILURE() << "accepted no input";
    } catch (const ASN1Exception& error) {
        EXPECT_EQ(error.error(), ASN1Error::parseError);
    }
}

}  // namespace
}  // namespace kivo::asn1
