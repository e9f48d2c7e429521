#include "qorCSFLib/ADFGenericEvent.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "hostwarden/ICSFSensor.h"
#include "hostwarden/IPolicyEventInterface.h"
#include "platform/Clock.h"
#include "platform/TimeZone.h"
#include "qorEventLib/CEventFilter.h"
#include "qorToolsLib/HostByteBuffer.h"
#include "qorToolsLib/QORError.h"

namespace {

// Alerts of one second are numbered 0, 1, 2...; the numbering is
// process-wide and events are filled on several host threads at once.
std::mutex g_SequenceLock;
int64_t g_llLastAlertTime = 0;
uint32_t g_dwSequence = 0;

uint32_t NextSequence(int64_t llSeconds) {
    std::lock_guard<std::mutex> guard(g_SequenceLock);
    g_dwSequence = llSeconds == g_llLastAlertTime ? g_dwSequence + 1 : 0;
    g_llLastAlertTime = llSeconds;
    return g_dwSequence;
}

void Raise(StatusCode status) {
    if (status != QOR_S_OK) {
        throw qorErrorException(status, "osStatus", __FILE__, __LINE__);
    }
}

std::string BoundedText(const char* pszText, size_t nMax) {
    return std::string(pszText, strnlen(pszText, nMax));
}

const char* OrEmpty(const char* pszText) {
    return pszText != nullptr ? pszText : "";
}

}  // namespace

ADFGenericEvent::ADFGenericEvent() = default;

ADFGenericEvent::ADFGenericEvent(const char* pszAlertName, uint32_t dwNameType,
                                 uint32_t dwAlertType, IPolicyEventInterface* pPolicyEvent,
                                 ICSFSensor* pSensor, uint32_t dwLevel,
                                 const CSFAlertParameter* pParameters) {
    uint32_t dwFlags = 0;
    uint32_t dwPriority = 0;
    if (pPolicyEvent != nullptr) {
        dwFlags = pPolicyEvent->LogsToDatabase(dwLevel) ? 1 : 0;
        dwPriority = pPolicyEvent->GetPriority();
    }
    FillHeader(pszAlertName, dwNameType, dwAlertType, dwPriority, pSensor, dwFlags);
    for (const CSFAlertParameter* pEntry = pParameters;
         pEntry != nullptr && pEntry->m_szName[0] != '\0'; ++pEntry) {
        // Entries come from the host: neither text is trusted to end.
        const std::string strName = BoundedText(pEntry->m_szName, kParameterNameMax);
        const std::string strValue = BoundedText(pEntry->m_szValue, kParameterValueMax);
        if (strName == "Message" || strName == "Code") {
            Raise(Add(strName, AlertValue::String(strValue), 1));
        } else if (strName == "algorithm-id") {
            auto dwValue = static_cast<uint32_t>(std::strtoul(strValue.c_str(), nullptr, 10));
            Raise(Add(strName, AlertValue::Uint32(dwValue), 1));
        } else {
            Raise(Add(":" + strName, AlertValue::String(strValue), 2));
        }
    }
    if (pPolicyEvent != nullptr) {
        const std::string strResponses = pPolicyEvent->GetResponseListText(dwLevel);
        if (!strResponses.empty()) {
            Raise(Add("ResponseList", AlertValue::String(strResponses), 1));
        }
    }
}

ADFGenericEvent::ADFGenericEvent(const ADFGenericEvent& other) : ICSFAlertEvent(), CQorEvent() {
    AssignFrom(other);
}

ADFGenericEvent::~ADFGenericEvent() = default;

void ADFGenericEvent::FillHeader(const char* pszAlertName, uint32_t dwNameType,
                                 uint32_t dwAlertType, uint32_t dwPriority, ICSFSensor* pSensor,
                                 uint32_t dwFlags) {
    const plat::ClockReading now = plat::ReadClock();
    // Minutes west of UTC, in force now.
    const auto nBias = static_cast<int16_t>(plat::GetTimeZoneInfoAt(now.m_iSeconds).ActiveBias());
    const uint32_t dwSequence = NextSequence(now.m_iSeconds);
    const AlertValue values[kHeaderCount] = {
        AlertValue::Uint32(kFormatVersion),
        AlertValue::Uint8(static_cast<uint8_t>(dwNameType)),
        AlertValue::String(OrEmpty(pszAlertName)),
        AlertValue::Date(now.m_iSeconds),
        AlertValue::Integer(int32_t{nBias} * 60),
        AlertValue::Uint32(now.m_uMilliseconds * 1000000u),
        AlertValue::Uint32(dwSequence),
        AlertValue::Blob(nullptr, kAlertIdSize),
        AlertValue::String(pSensor != nullptr ? OrEmpty(pSensor->GetSensorAddress()) : ""),
        AlertValue::String(pSensor != nullptr ? OrEmpty(pSensor->GetSensorName()) : ""),
        AlertValue::Uint32(pSensor != nullptr ? pSensor->GetProductId() : 0),
        AlertValue::Uint32(dwAlertType),
        AlertValue::Uint32(dwPriority),
        AlertValue::Uint32(dwFlags),
    };
    for (uint32_t dwIndex = 0; dwIndex < kHeaderCount; ++dwIndex) {
        Raise(SetHeaderValue(dwIndex, values[dwIndex]));
    }
}

int32_t ADFGenericEvent::GetPriority() {
    const EventAVP& record = GetSection(0)[kAlertPriority];
    return record.m_Value.Type() == VTypeUint32 ? static_cast<int32_t>(record.m_Value.GetUint32())
                                                 : 0;
}

ICSFAlertEvent* ADFGenericEvent::CreateEmpty() {
    return new (std::nothrow) ADFGenericEvent();
}

ICSFAlertEvent* ADFGenericEvent::Clone() {
    try {
        return new ADFGenericEvent(*this);
    } catch (const std::exception&) {
        return nullptr;
    }
}

template <typename Deliver>
uint32_t ADFGenericEvent::DeliverStream(Deliver deliver) {
    try {
        qorStreamBufferOwner owner(true, qorStreamBufferOwner::kDefaultGrowth);
        CEventFilter filter;
        StatusCode status = Serialize(&filter, owner);
        return status != QOR_S_OK ? status : deliver(owner);
    } catch (const qorErrorException& error) {
        return error.Status();
    } catch (const std::bad_alloc&) {
        return QOR_E_ALLOC_FAILED;
    }
}

uint32_t ADFGenericEvent::WriteMessage(CSFAlertMessage* pMessage) {
    if (pMessage == nullptr) {
        return QOR_E_INVALID_ARG;
    }
    return DeliverStream([pMessage](qorStreamBufferOwner& owner) {
        pMessage->SetMessageType(kMessageType);
        pMessage->SetMessageVersion(kMessageVersion);
        return pMessage->AppendPayload(owner.GetData(), owner.GetLength());
    });
}

uint32_t ADFGenericEvent::WriteBytes(HostByteBuffer* pBuffer) {
    if (pBuffer == nullptr) {
        return QOR_E_INVALID_ARG;
    }
    return DeliverStream([pBuffer](qorStreamBufferOwner& owner) -> uint32_t {
        return pBuffer->Insert(pBuffer->GetLength(), owner.GetData(), owner.GetLength())
                   ? QOR_S_OK
                   : QOR_E_ALLOC_FAILED;
    });
}

uint32_t ADFGenericEvent::LoadBytes(const uint8_t* pBytes, const uint32_t* pdwLength) {
    if (pdwLength == nullptr || (pBytes == nullptr && *pdwLength != 0)) {
        return QOR_E_INVALID_ARG;
    }
    try {
        qorStreamBufferOwner owner(true, qorStreamBufferOwner::kDefaultGrowth);
        StatusCode status = owner.CreateReadBuffer(pBytes, *pdwLength);
        if (status != QOR_S_OK) {
            return status;
        }
        return Load(owner);
    } catch (const std::bad_alloc&) {
        return QOR_E_ALLOC_FAILED;
    }
}

void ADFGenericEvent::Destroy() {
    delete this;
}
