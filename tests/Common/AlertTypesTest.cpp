#include "Common/AlertTypes.h"

#include <gtest/gtest.h>

#include <string>

TEST(AlertTypes, CodesWithoutANameReadUnknown) {
    EXPECT_STREQ("SuspectPortConnection", AlertTypeName(202));
    EXPECT_STREQ("SuspiciousNetworkActivity", AlertTypeName(105));
    EXPECT_STREQ("ApplicationEvent", AlertTypeName(211));
    for (int32_t code : {104, 0, 212, -1, 100}) {
        EXPECT_STREQ("UnknownAlertType", AlertTypeName(code)) << code;
    }
}

TEST(AlertTypes, NameLookupIsExactAndFallsBackToUserDefined) {
    EXPECT_EQ(209, AlertTypeCode("SecurityEvent"));
    EXPECT_EQ(210, AlertTypeCode("securityevent"));
    EXPECT_EQ(210, AlertTypeCode("SensorStatus"));
    EXPECT_EQ(210, AlertTypeCode(""));
    EXPECT_EQ(210, AlertTypeCode(nullptr));
    EXPECT_EQ(210, AlertTypeCode("SecurityEvent "));
}

