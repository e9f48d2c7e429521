#include "Common/AlertTypes.h"

#include <gtest/gtest.h>

TEST(AlertTypes, CodesWithoutANameReadUnknownAndNamesMatchExactly) {
    EXPECT_STREQ("SuspectPortConnection", AlertTypeName(202));
    for (int32_t code : {104, 0, 212, -1, 100}) {
        EXPECT_STREQ("UnknownAlertType", AlertTypeName(code)) << code;
    }
    EXPECT_EQ(209, AlertTypeCode("SecurityEvent"));
    for (const char* pszName : {"securityevent", "SensorStatus", "", "SecurityEvent ", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(210, AlertTypeCode(pszName)) << (pszName != nullptr ? pszName : "null");
    }
}
