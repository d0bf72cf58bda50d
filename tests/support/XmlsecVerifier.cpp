#include "support/XmlsecVerifier.h"

#include "support/TempDir.h"

namespace kivo::testing {

XmlsecVerdict verifyWithXmlsec(const std::string& signedDocument,
                               const std::string& signedElementName,
                               const std::filesystem::path& trustedCertificatePem,
                               std::string& output) {
    const TempDir folder;
    writeFile(folder / "signed.xml", signedDocument);
    const std::string command =
        "xmlsec1 --verify --trusted-pem '" + trustedCertificatePem.string() +
        "' --node-xpath \"//*[local-name()='" + signedElementName +
        "']/*[local-name()='Signature' and "
        "namespace-uri()='http://www.w3.org/2000/09/xmldsig#'][last()]\" '" +
        (folder / "signed.xml").string() + "' >'" + (folder / "out.txt").string() + "' 2>&1";
    const int status = runCommand(command);
    output = readFile(folder / "out.txt");
    if (status == 0 && output.find("OK\n") != std::string::npos) {
        return XmlsecVerdict::valid;
    }
    return output.find("FAIL\n") != std::string::npos ? XmlsecVerdict::invalid
                                                      : XmlsecVerdict::notChecked;
}

}  // namespace kivo::testing
