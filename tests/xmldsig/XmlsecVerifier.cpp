#include "xmldsig/XmlsecVerifier.h"

#include "support/TempDir.h"

namespace kivo::testing {

XmlsecResult verifyWithXmlsec(const std::string& signedDocument,
                              const std::string& signedElementName, const TestIdentity& identity) {
    const TempDir folder;
    writeFile(folder / "signed.xml", signedDocument);
    const std::string signatureXPath =
        "//*[local-name()='" + signedElementName +
        "']/*[local-name()='Signature' and "
        "namespace-uri()='http://www.w3.org/2000/09/xmldsig#'][last()]";
    const std::string command = "xmlsec1 --verify --trusted-pem '" +
                                identity.certificatePem().string() + "' --node-xpath \"" +
                                signatureXPath + "\" '" + (folder / "signed.xml").string() +
                                "' >'" + (folder / "out.txt").string() + "' 2>&1";
    const int status = runCommand(command);
    XmlsecResult result{XmlsecVerdict::notChecked, readFile(folder / "out.txt")};
    if (status == 0 && result.output.find("OK\n") != std::string::npos) {
        result.verdict = XmlsecVerdict::valid;
    } else if (result.output.find("FAIL\n") != std::string::npos) {
        result.verdict = XmlsecVerdict::invalid;
    }
    return result;
}

}  // namespace kivo::testing
