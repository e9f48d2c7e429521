// The contract headers compile on their own and together, and the
// identifiers a factory dispatches on are all distinct.

#include "hostwarden/CSFIdentifiers.h"
#include "hostwarden/CSFResult.h"
#include "hostwarden/CmlByteBuffer.h"
#include "hostwarden/ICSFAlertEvent.h"
#include "hostwarden/ICSFClassFactory.h"
#include "hostwarden/ICSFCommandRequest.h"
#include "hostwarden/ICSFCommonResponseMail.h"
#include "hostwarden/ICSFCommonResponseSNMP.h"
#include "hostwarden/ICSFCommonResponseUserSpecified.h"
#include "hostwarden/ICSFCrashLogger.h"
#include "hostwarden/ICSFEventHandler.h"
#include "hostwarden/ICSFHostServices.h"
#include "hostwarden/ICSFSensor.h"
#include "hostwarden/ICSFSvcRequest.h"
#include "hostwarden/IDetectorEventInterface.h"
#include "hostwarden/IEventRegistry.h"
#include "hostwarden/ILogTag.h"
#include "hostwarden/IPolicyContainer.h"
#include "hostwarden/IPolicyEventInterface.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

TEST(Contract, FactoryIdentifiersAreDistinct) {
    // The response interfaces share their class ids on purpose; every other
    // pair must differ or a factory would hand out the wrong object.
    const std::vector<CSFIdentifier> ids = {CLSID_HostWardenSensor,
                                            IID_ICSFClassFactory,
                                            IID_ICSFSensor,
                                            IID_ICSFSvcRequest,
                                            IID_IEventRegistry,
                                            IID_ICSFAlertEvent,
                                            IID_IDetectorEventInterface,
                                            IID_ICSFCrashLogger,
                                            CLSID_ResponseMail,
                                            CLSID_ResponseSNMP,
                                            CLSID_ResponseUserSpecified,
                                            CLSID_TclHandler,
                                            CLSID_IDSConfig};
    for (size_t i = 0; i < ids.size(); ++i) {
        for (size_t j = i + 1; j < ids.size(); ++j) {
            EXPECT_FALSE(ids[i] == ids[j]) << i << " and " << j;
        }
    }
}

TEST(Contract, IdentifierComparesByteForByte) {
    unsigned char raw[16];
    std::memcpy(raw, &IID_ICSFSensor, sizeof raw);
    EXPECT_TRUE(SameIdentifier(raw, IID_ICSFSensor));
    raw[15] ^= 1;
    EXPECT_FALSE(SameIdentifier(raw, IID_ICSFSensor));
    EXPECT_FALSE(SameIdentifier(nullptr, IID_ICSFSensor));
    static_assert(sizeof(CSFIdentifier) == 16);
}

