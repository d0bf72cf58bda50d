#include "platform/Pkcs11Result.h"

#include <gtest/gtest.h>

#include "certs/SignaturePrimitive.h"

namespace kivo::platform {
namespace {

TEST(Pkcs11Result, NamesAndQueryStatuses) {
    struct Case {
        CK_RV result;
        const char* name;
        const char* status;
    };
    const Case cases[] = {
        {CKR_OK, "CKR_OK", "errSecSuccess"},
        {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD", "errSecParam"},
        {CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED", "errSecUnimplemented"},
        {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT", "errSecNotAvailable"},
        {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED", "errSecNotAvailable"},
        {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID", "errSecNotAvailable"},
        {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT", "errSecAuthFailed"},
        {CKR_PIN_LOCKED, "CKR_PIN_LOCKED", "Unknown code (164)"},
        {CKR_FUNCTION_REJECTED, "CKR_FUNCTION_REJECTED", "Unknown code (512)"},
        // NSS's vendor code for an unusable database keeps its own number.
        {0xce534351UL, "CKR_0xce534351", "Unknown code (-833404079)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(pkcs11ResultName(c.result), c.name);
        EXPECT_EQ(certs::securityStatusName(queryStatusFor(c.result)), c.status);
    }
    EXPECT_STREQ(Pkcs11Error(CKR_PIN_LOCKED).what(), "CKR_PIN_LOCKED");
}

}  // namespace
}  // namespace kivo::platform
