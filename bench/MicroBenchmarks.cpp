// Micro-benchmarks that guide optimisation of the hot paths behind a sign request: the DER
// decoder and certificate view, and the XML work (parsing, signing-filter evaluation, Canonical
// XML of the document and of one signed element, and a whole two-signature document with an
// in-memory RSA key standing in for the token).

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>

#include "DocumentGenerator.h"
#include "asn1/ASN1DERDecoder.h"
#include "asn1/X509Certificate.h"
#include "foundation/PrivateKey.h"
#include "xmldsig/Canonicalizer.h"
#include "xmldsig/SigningFilter.h"
#include "xmldsig/XmlSigner.h"

namespace {

using kivo::foundation::Bytes;

Bytes readBytes(const char* path) {
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        throw std::runtime_error(std::string("cannot read ") + path);
    }
    return bytes;
}

const Bytes& certificateDer() {
    static const Bytes der = readBytes(KIVO_BENCH_CERTIFICATE);
    return der;
}

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// An RSA key in memory, so that the XML work is measured without a token's round trips.
class MemoryKey final : public kivo::foundation::PrivateKey {
  public:
    MemoryKey() : key_(EVP_RSA_gen(2048)) {
        if (!key_) {
            throw std::runtime_error("cannot make an RSA key");
        }
    }
    bool isAlgorithmSupported(kivo::foundation::SignatureAlgorithm) const override { return true; }
    kivo::foundation::Bytes sign(kivo::foundation::SignatureAlgorithm,
                                 std::span<const std::uint8_t> data) override {
        const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
        std::size_t length = 0;
        if (!context ||
            EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
            EVP_DigestSign(context.get(), nullptr, &length, data.data(), data.size()) != 1) {
            throw kivo::foundation::signingFailure("cannot sign");
        }
        Bytes signature(length);
        if (EVP_DigestSign(context.get(), signature.data(), &length, data.data(), data.size()) !=
            1) {
            throw kivo::foundation::signingFailure("cannot sign");
        }
        signature.resize(length);
        return signature;
    }

  private:
    std::unique_ptr<EVP_PKEY, KeyDeleter> key_;
};

class MemoryCertificate final : public kivo::foundation::StoredCertificate {
  public:
    const Bytes& derBytes() const override { return certificateDer(); }
};

const std::string& documentOfSize(std::size_t bytes) {
    static std::map<std::size_t, std::string> documents;
    auto& text = documents[bytes];
    if (text.empty()) {
        text = kivo::bench::makeDocument(bytes);
    }
    return text;
}

void setBytes(benchmark::State& state, std::size_t perIteration) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(perIteration));
}

void BM_DerDecodeCertificate(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(kivo::asn1::ASN1DERDecoder::decode(certificateDer()));
    }
    setBytes(state, certificateDer().size());
}
BENCHMARK(BM_DerDecodeCertificate);

void BM_X509CertificateView(benchmark::State& state) {
    for (auto _ : state) {
        const auto certificate = kivo::asn1::X509Certificate::fromDer(certificateDer());
        benchmark::DoNotOptimize(certificate->serial());
        benchmark::DoNotOptimize(
            certificate->subjectValue(kivo::asn1::ASN1DistinguishedNames::commonName));
        benchmark::DoNotOptimize(certificate->keyUsage());
    }
}
BENCHMARK(BM_X509CertificateView);

void BM_ParseDocument(benchmark::State& state) {
    const std::string& text = documentOfSize(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        kivo::xmldsig::XmlSigner signer(text);
        benchmark::DoNotOptimize(signer.xmlRootElem());
    }
    setBytes(state, text.size());
}
BENCHMARK(BM_ParseDocument)->Arg(10 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

void BM_SelectSignedElement(benchmark::State& state) {
    const std::string& text = documentOfSize(static_cast<std::size_t>(state.range(0)));
    const kivo::xmldsig::XmlSigner signer(text);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            kivo::xmldsig::selectSignedElement(signer.xmlDocument(), "//RenderedData"));
    }
    setBytes(state, text.size());
}
BENCHMARK(BM_SelectSignedElement)->Arg(10 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

void BM_CanonicalizeDocument(benchmark::State& state) {
    const std::string& text = documentOfSize(static_cast<std::size_t>(state.range(0)));
    const kivo::xmldsig::XmlSigner signer(text);
    for (auto _ : state) {
        benchmark::DoNotOptimize(signer.canonicalText());
    }
    setBytes(state, text.size());
}
BENCHMARK(BM_CanonicalizeDocument)->Arg(10 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

// The digest input of one signature: the signed element's subtree as a document subset.
void BM_CanonicalizeSignedElement(benchmark::State& state) {
    const std::string& text = documentOfSize(static_cast<std::size_t>(state.range(0)));
    kivo::xmldsig::XmlSigner signer(text);
    xmlNodePtr element = kivo::xmldsig::selectSignedElement(signer.xmlDocument(), "//RenderedData");
    std::size_t produced = 0;
    for (auto _ : state) {
        kivo::xmldsig::canonicalizeSubtree(
            element, nullptr,
            [&produced](std::span<const std::uint8_t> piece) { produced += piece.size(); });
    }
    benchmark::DoNotOptimize(produced);
    setBytes(state, text.size() / 2);
}
BENCHMARK(BM_CanonicalizeSignedElement)->Arg(10 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

// Everything a sign request does for one document except base64 and JSON.
void BM_SignDocument(benchmark::State& state) {
    const std::string& text = documentOfSize(static_cast<std::size_t>(state.range(0)));
    MemoryKey key;
    const MemoryCertificate certificate;
    for (auto _ : state) {
        kivo::xmldsig::XmlSigner signer(text);
        for (const char* filter : {"//CounterpartData", "//RenderedData"}) {
            signer.signElement(key, std::nullopt, filter);
            signer.addX509Data(certificate, filter);
            signer.addRSAKeyValue("modulus", "AQAB", filter);
        }
        benchmark::DoNotOptimize(signer.canonicalText());
    }
    setBytes(state, text.size());
}
BENCHMARK(BM_SignDocument)->Arg(10 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
