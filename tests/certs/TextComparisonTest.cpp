#include "certs/TextComparison.h"

#include <gtest/gtest.h>

#include <string>

namespace kivo::certs {
namespace {

using namespace std::string_literals;

struct TextPair {
    const char* label;
    std::string left;
    std::string right;
    bool expected;
};

void expectSymmetric(bool (*compare)(std::string_view, std::string_view), const TextPair& pair) {
    EXPECT_EQ(compare(pair.left, pair.right), pair.expected) << pair.label;
    EXPECT_EQ(compare(pair.right, pair.left), pair.expected) << pair.label << " (swapped)";
}

TEST(TextComparisonTest, CanonicalEquivalenceIsExactOtherwise) {
    const TextPair pairs[] = {
        {"composed vs decomposed diaeresis", "Zo\u00eb Smith", "Zoe\u0308 Smith", true},
        {"angstrom sign vs A with ring", "\u212bngstr\u00f6m", "\u00c5ngstro\u0308m", true},
        {"combining marks in either order", "a\u0323\u0302", "a\u0302\u0323", true},
        {"letter case differs", "Anna Citizen", "anna citizen", false},
        {"compatibility ligature is not canonical", "\ufb01le", "file", false},
        {"no trimming", "Anna ", "Anna", false},
        {"empty vs empty", "", "", true},
        {"empty vs space", "", " ", false},
        {"embedded NUL is significant", "a\0b"s, "a", false},
    };
    for (const auto& pair : pairs) {
        expectSymmetric(canonicallyEqual, pair);
    }
}

TEST(TextComparisonTest, CaseInsensitiveUsesDefaultLowerCaseMapping) {
    const TextPair pairs[] = {
        {"ASCII e-mail", "Anna.Citizen@Example.COM", "anna.citizen@example.com", true},
        {"non-ASCII differing only in case", "\u00c9LODIE@exemple.fr", "\u00e9lodie@exemple.fr",
         true},
        {"upper NFC vs lower NFD", "\u00c9lodie", "e\u0301LODIE", true},
        {"final sigma follows context", "\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c2",
         true},
        {"dotted capital I is not Turkish", "\u0130", "i", false},
        {"dotted capital I keeps its dot", "\u0130", "i\u0307", true},
        {"lower-casing is not case folding", "STRASSE", "stra\u00dfe", false},
        {"hex upper vs lower", "A1B2C3", "a1b2c3", true},
        {"separators never vanish", "a1:b2:c3", "a1b2c3", false},
        {"empty vs empty", "", "", true},
    };
    for (const auto& pair : pairs) {
        expectSymmetric(equalIgnoringCase, pair);
    }
}

// Ill-formed input must neither crash nor become equal to something else by substitution.
TEST(TextComparisonTest, IllFormedUtf8EqualsOnlyIdenticalBytes) {
    const TextPair pairs[] = {
        {"identical invalid bytes", "Anna\xff", "Anna\xff", true},
        {"different invalid bytes", "Anna\xff", "Anna\xfe", false},
        {"invalid vs replacement character", "Anna\xff", "Anna\xef\xbf\xbd", false},
        {"truncated sequence vs its prefix", "Zo\xc3", "Zo", false},
        {"overlong form of A", "\xc1\x81", "A", false},
        {"encoded surrogate", "\xed\xa0\x80", "\xef\xbf\xbd", false},
        {"invalid is not lower-cased", "ANNA\xff", "anna\xff", false},
    };
    for (const auto& pair : pairs) {
        expectSymmetric(canonicallyEqual, pair);
        expectSymmetric(equalIgnoringCase, pair);
    }
}

}  // namespace
}  // namespace kivo::certs
