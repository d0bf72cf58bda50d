#include "support/TestPki.h"

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace kivo::testing {
namespace {

std::string certificateText(const std::filesystem::path& certPem) {
    return runProgram(
        {"openssl", "x509", "-in", certPem.string(), "-noout", "-text", "-nameopt", "RFC2253"});
}

TEST(TestPki, IssuesCertificateWithRequestedFields) {
    TempDir dir;
    const TestCa ca = makeCa(dir.path(), "Kivo Test CA");
    CertificateSpec spec;
    spec.serialHex = "00A1b2";
    spec.notBefore = "20200102030405Z";
    spec.notAfter = "20510607080910Z";
    const IssuedCertificate cert = issueCertificate(dir.path(), ca, spec, "jane");
    EXPECT_EQ(cert.serialHex, "a1b2");
    const std::string text = certificateText(cert.certPem);
    EXPECT_NE(text.find("Serial Number: 41394 (0xa1b2)"), std::string::npos) << text;
    EXPECT_NE(text.find("Not Before: Jan  2 03:04:05 2020 GMT"), std::string::npos) << text;
    EXPECT_NE(text.find("Not After : Jun  7 08:09:10 2051 GMT"), std::string::npos) << text;
    EXPECT_NE(text.find("Subject: emailAddress=jane@example.com,CN=Jane Citizen"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Issuer: CN=Kivo Test CA,O=Kivo Test PKI"), std::string::npos) << text;
    EXPECT_NE(text.find("Digital Signature, Non Repudiation"), std::string::npos) << text;
    EXPECT_NE(text.find("1.2.36.1.333.1: \n                ..51824753556"), std::string::npos)
        << text;
    ASSERT_EQ(ca.subjectKeyIdHex.size(), 40u);
    const std::string aki = runProgram({"openssl", "x509", "-in", cert.certPem.string(), "-noout",
                                        "-ext", "authorityKeyIdentifier"});
    std::string akiHex;
    for (const char c : aki.substr(aki.find('\n'))) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            akiHex.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    EXPECT_EQ(akiHex, ca.subjectKeyIdHex);
    // The PKCS#12 file opens with its password and holds the key and the certificate.
    const std::string p12 = runProgram({"openssl", "pkcs12", "-in", cert.pkcs12.string(), "-passin",
                                        "pass:" + cert.pkcs12Password, "-nodes"});
    EXPECT_NE(p12.find("BEGIN PRIVATE KEY"), std::string::npos);
    EXPECT_NE(p12.find("BEGIN CERTIFICATE"), std::string::npos);
}

TEST(TestPki, LeavesOutOptionalFields) {
    TempDir dir;
    const TestCa ca = makeCa(dir.path(), "");
    CertificateSpec spec;
    spec.commonName = "Name / With + Specials = Ünïcode";
    spec.email.reset();
    spec.abn.reset();
    spec.keyUsage.reset();
    spec.authorityKeyIdentifier = false;
    spec.keyType = KeyType::ecP256;
    const IssuedCertificate cert = issueCertificate(dir.path(), ca, spec, "bare");
    const std::string text = certificateText(cert.certPem);
    EXPECT_NE(text.find("Issuer: O=Kivo Test PKI\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Subject: CN=Name / With \\+ Specials = \\C3\\9Cn\\C3\\AFcode\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Key Usage"), std::string::npos) << text;
    EXPECT_EQ(text.find("Authority Key Identifier"), std::string::npos) << text;
    EXPECT_EQ(text.find("1.2.36.1.333.1"), std::string::npos) << text;
    EXPECT_NE(text.find("id-ecPublicKey"), std::string::npos) << text;
}

TEST(TestPki, RunProgramReportsFailures) {
    EXPECT_EQ(runProgram({"sh", "-c", "printf \"$X\""}, {{"X", "value"}}), "value");
    EXPECT_THROW(runProgram({"sh", "-c", "echo oops >&2; exit 3"}), std::runtime_error);
    EXPECT_THROW(runProgram({"/nonexistent/program"}), std::runtime_error);
}

}  // namespace
}  // namespace kivo::testing
