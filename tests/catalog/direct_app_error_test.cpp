#include "app/catalog/direct_app_error.hpp"

#include <gtest/gtest.h>

namespace tarnel {
namespace {

TEST(DirectAppError, CasesCarryTheirFixedMessages) {
    const struct {
        DirectAppError error;
        DirectAppError::Case expectedCase;
        std::string message;
    } cases[] = {
        {DirectAppError::httpStatus(404), DirectAppError::Case::httpStatus,
         "Subscription download failed with HTTP 404."},
        {DirectAppError::httpStatus(-1), DirectAppError::Case::httpStatus,
         "Subscription download failed with HTTP -1."},
        {DirectAppError::invalidUTF8(), DirectAppError::Case::invalidUTF8, "Subscription response is not valid UTF-8."},
        {DirectAppError::invalidResponse(), DirectAppError::Case::invalidResponse,
         "Subscription server returned an invalid response."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.errorCase(), c.expectedCase);
        EXPECT_EQ(c.error.message(), c.message);
        EXPECT_STREQ(c.error.what(), c.message.c_str());
        EXPECT_EQ(c.error.typeName(), "TarnelDirect.DirectAppError");
    }
    EXPECT_EQ(DirectAppError::httpStatus(503).statusCode(), 503);
}

TEST(DirectAppError, IsCaughtAsTheCommonErrorBase) {
    try {
        throw DirectAppError::httpStatus(500);
    } catch (const Error& error) {
        EXPECT_EQ(errorMessage(error), "Subscription download failed with HTTP 500.");
        EXPECT_EQ(errorTypeName(error), "TarnelDirect.DirectAppError");
    }
}

}  // namespace
}  // namespace tarnel
