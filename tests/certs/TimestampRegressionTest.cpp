// Certificate dates outside the clock's range (a notBefore in year 1 or 136, found by fuzzing the
// certificate views) are held as the earliest or latest time point. Formatting the earliest one
// overflowed the nanosecond count while splitting off the day, and a certificate that is valid
// now may carry such a notBefore.

#include <gtest/gtest.h>

#include <chrono>

#include "asn1/X509Certificate.h"
#include "certs/CertificateSelection.h"

namespace kivo::certs {
namespace {

TEST(TimestampRegressionTest, ClockLimitsFormatAsTheirOwnDates) {
    EXPECT_EQ(formatTimestamp(asn1::TimePoint::min()), "1677-09-21T00:12:43.000Z");
    EXPECT_EQ(formatTimestamp(asn1::TimePoint::max()), "2262-04-11T23:47:16.000Z");
    EXPECT_EQ(formatTimestamp(asn1::TimePoint::min() + std::chrono::hours(24)),
              "1677-09-22T00:12:43.000Z");
}

}  // namespace
}  // namespace kivo::certs
