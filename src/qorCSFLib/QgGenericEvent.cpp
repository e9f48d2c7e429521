#include "qorCSFLib/QgGenericEvent.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/LastError.h"
#include "platform/NetworkNames.h"
#include "platform/Sockets.h"
#include "qorToolsLib/ErrorWords.h"
#include "qorToolsLib/HostByteBuffer.h"
#include "qorToolsLib/QORError.h"

namespace {

constexpr uint32_t kMessageGrowth = 2048;

std::atomic<uint32_t> g_dwEventCounter{0};

std::once_flag g_LocalAddressOnce;
uint32_t g_dwLocalAddress = 0;
std::string g_strLocalAddressText;

const char* const kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};

void AppendBigEndian(std::vector<uint8_t>& out, uint32_t dwValue) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(dwValue >> 24), static_cast<uint8_t>(dwValue >> 16),
                              static_cast<uint8_t>(dwValue >> 8), static_cast<uint8_t>(dwValue)};
    out.insert(out.end(), bytes, bytes + 4);
}

void AppendRaw(std::vector<uint8_t>& out, const void* pValue, size_t nSize) {
    const auto* pBytes = static_cast<const uint8_t*>(pValue);
    out.insert(out.end(), pBytes, pBytes + nSize);
}

void AppendText(std::vector<uint8_t>& out, const std::string& strText) {
    out.insert(out.end(), strText.begin(), strText.end());
    out.push_back(0);
}

// Reads an image front to back without ever passing its end.
class ImageReader {
public:
    ImageReader(const uint8_t* pBytes, uint32_t dwLength) : m_pBytes(pBytes), m_nLeft(dwLength) {}

    bool Raw(void* pValue, size_t nSize) {
        if (nSize > m_nLeft) {
            return false;
        }
        std::memcpy(pValue, m_pBytes, nSize);
        Skip(nSize);
        return true;
    }

    bool BigEndian(uint32_t& dwValue) {
        uint8_t bytes[4];
        if (!Raw(bytes, sizeof bytes)) {
            return false;
        }
        dwValue = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                  (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
        return true;
    }

    // A text up to its terminating zero, which must lie inside the image;
    // at most `nKeep` characters of it are kept.
    bool Text(std::string& strText, size_t nKeep) {
        const void* pZero = std::memchr(m_pBytes, 0, m_nLeft);
        if (pZero == nullptr) {
            return false;
        }
        size_t nLength = static_cast<size_t>(static_cast<const uint8_t*>(pZero) - m_pBytes);
        strText.assign(reinterpret_cast<const char*>(m_pBytes), std::min(nLength, nKeep));
        Skip(nLength + 1);
        return true;
    }

    bool Block(std::vector<uint8_t>& block, size_t nSize) {
        if (nSize > m_nLeft) {
            return false;
        }
        block.assign(m_pBytes, m_pBytes + nSize);
        Skip(nSize);
        return true;
    }

private:
    void Skip(size_t nCount) {
        m_pBytes += nCount;
        m_nLeft -= nCount;
    }

    const uint8_t* m_pBytes;
    size_t m_nLeft;
};

}  // namespace

QgGenericEvent::QgGenericEvent() = default;

QgGenericEvent::QgGenericEvent(const char* pszAlertName, uint32_t dwResponseMask,
                               uint32_t dwPriority, const CSFAlertParameter* pParameters)
    : m_dwEventNumber(g_dwEventCounter.fetch_add(1)),
      m_strAlertName(pszAlertName != nullptr ? pszAlertName : ""),
      m_dwResponseMask(dwResponseMask),
      m_dwPriority(dwPriority) {
    const plat::ClockReading now = plat::ReadClock();
    SetTime(static_cast<uint32_t>(now.m_iSeconds), now.m_uMilliseconds * 1000u);
    m_dwProtocol = kDefaultProtocol;
    std::string strLocal;
    const uint32_t dwLocal = LocalAddress(strLocal);
    SetSource(dwLocal, strLocal);
    SetDestination(dwLocal, strLocal);
    for (const CSFAlertParameter* pEntry = pParameters;
         pEntry != nullptr && pEntry->m_szName[0] != '\0'; ++pEntry) {
        // Entries come from the host: neither text is trusted to end.
        AddPair(std::string(pEntry->m_szName, strnlen(pEntry->m_szName, sizeof pEntry->m_szName - 1)),
                std::string(pEntry->m_szValue, strnlen(pEntry->m_szValue, sizeof pEntry->m_szValue - 1)));
    }
}

QgGenericEvent::QgGenericEvent(const QgGenericEvent& other) : ICSFAlertEvent() {
    *this = other;
}

QgGenericEvent& QgGenericEvent::operator=(const QgGenericEvent& other) {
    if (&other == this) {
        return *this;
    }
    SetTime(other.m_dwTime, other.m_dwMicroseconds);
    m_dwEventNumber = other.m_dwEventNumber;
    m_strAlertName = other.m_strAlertName;
    m_dwResponseMask = other.m_dwResponseMask;
    m_dwPriority = other.m_dwPriority;
    m_dwProtocol = other.m_dwProtocol;
    m_dwSourceAddress = other.m_dwSourceAddress;
    m_dwDestinationAddress = other.m_dwDestinationAddress;
    m_strSourceAddressText = other.m_strSourceAddressText;
    m_strDestinationAddressText = other.m_strDestinationAddressText;
    for (uint32_t i = 0; i < kExtraTextCount; ++i) {
        m_strExtra[i] = other.m_strExtra[i];
    }
    m_dwSourcePort = other.m_dwSourcePort;
    m_dwDestinationPort = other.m_dwDestinationPort;
    m_strPortName = other.m_strPortName;
    m_Pairs = other.m_Pairs;
    m_DataBlock = other.m_DataBlock;
    return *this;
}

QgGenericEvent::~QgGenericEvent() = default;

uint32_t QgGenericEvent::LocalAddress(std::string& strText) {
    std::call_once(g_LocalAddressOnce, [] {
        g_dwLocalAddress = plat::LocalHostIpv4Address();
        char szDotted[plat::kDottedAddressSize];
        g_strLocalAddressText = plat::FormatDottedAddress(g_dwLocalAddress, szDotted);
    });
    strText = g_strLocalAddressText;
    return g_dwLocalAddress;
}

void QgGenericEvent::SetTime(uint32_t dwSeconds, uint32_t dwMicroseconds) {
    m_dwTime = dwSeconds;
    m_dwMicroseconds = dwMicroseconds;
    plat::CalendarTime local;
    if (!plat::LocalCalendarAt(dwSeconds, local)) {
        const uint32_t dwError = plat::GetLastError();
        plat::ConsolePrintf(
            "QgGenericEvent::SetTime(), Error converting the time to 'struct tm'. Error = %ld (%s)\n",
            static_cast<long>(dwError), ErrorWords(dwError).c_str());
        m_strTimeText = "error formatting time";
        return;
    }
    char szText[kTimeTextMax];
    int nWritten = std::snprintf(szText, sizeof szText, "%s, %s %d, %d %02d:%02d:%02d",
                                 kWeekdays[local.m_iDayOfWeek % 7], kMonths[(local.m_iMonth + 11) % 12],
                                 local.m_iDay, local.m_iYear, local.m_iHour, local.m_iMinute,
                                 local.m_iSecond);
    if (nWritten <= 0) {
        const uint32_t dwError = plat::GetLastError();
        plat::ConsolePrintf(
            "QgGenericEvent::SetTime(), Error formatting the time string. Error = %ld (%s)\n",
            static_cast<long>(dwError), ErrorWords(dwError).c_str());
        m_strTimeText = "error format/EPting time";
        return;
    }
    m_strTimeText = szText;
}

void QgGenericEvent::SetSource(uint32_t dwAddress, const std::string& strText) {
    m_dwSourceAddress = dwAddress;
    m_strSourceAddressText = strText;
}

void QgGenericEvent::SetDestination(uint32_t dwAddress, const std::string& strText) {
    m_dwDestinationAddress = dwAddress;
    m_strDestinationAddressText = strText;
}

void QgGenericEvent::AddPair(const std::string& strName, const std::string& strValue) {
    m_Pairs.push_back(Pair{strName, strValue});
}

void QgGenericEvent::SetDataBlock(const uint8_t* pBytes, uint32_t dwLength) {
    if (pBytes == nullptr || dwLength == 0) {
        m_DataBlock.clear();
        return;
    }
    m_DataBlock.assign(pBytes, pBytes + std::min<uint32_t>(dwLength, UINT16_MAX));
}

int32_t QgGenericEvent::GetPriority() {
    return static_cast<int32_t>(m_dwPriority);
}

ICSFAlertEvent* QgGenericEvent::CreateEmpty() {
    return new (std::nothrow) QgGenericEvent();
}

ICSFAlertEvent* QgGenericEvent::Clone() {
    try {
        return new QgGenericEvent(*this);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void QgGenericEvent::Destroy() {
    delete this;
}

void QgGenericEvent::AppendMessagePayload(std::vector<uint8_t>& payload) const {
    AppendBigEndian(payload, m_dwPriority);
    AppendBigEndian(payload, m_dwEventNumber);
    AppendTextsAndNumbers(payload);
}

void QgGenericEvent::AppendTextsAndNumbers(std::vector<uint8_t>& out) const {
    AppendText(out, m_strAlertName);
    for (const std::string& strExtra : m_strExtra) {
        AppendText(out, strExtra);
    }
    AppendText(out, m_strPortName);
    AppendText(out, m_strSourceAddressText);
    AppendText(out, m_strDestinationAddressText);
    for (uint32_t dwValue : {m_dwProtocol, m_dwSourcePort, m_dwDestinationPort, m_dwTime, m_dwResponseMask}) {
        AppendBigEndian(out, dwValue);
    }
    AppendBigEndian(out, static_cast<uint32_t>(m_Pairs.size()));
    for (const Pair& pair : m_Pairs) {
        AppendText(out, pair.m_strName);
        AppendText(out, pair.m_strValue);
    }
}

uint32_t QgGenericEvent::WriteMessage(CSFAlertMessage* pMessage) {
    if (pMessage == nullptr) {
        return QOR_E_INVALID_ARG;
    }
    pMessage->SetMessageType(kMessageType);
    pMessage->SetMessageVersion(kMessageVersion);
    pMessage->SetNoThrow(false);
    pMessage->SetGrowBy(kMessageGrowth);
    StatusCode status = QOR_S_OK;
    try {
        std::vector<uint8_t> payload;
        AppendMessagePayload(payload);
        pMessage->AppendPayload(payload.data(), static_cast<uint32_t>(payload.size()));
    } catch (const qorErrorException& error) {
        status = error.Status();
    } catch (const std::bad_alloc&) {
        status = QOR_E_ALLOC_FAILED;
    }
    pMessage->SetNoThrow(true);
    pMessage->SetGrowBy(qorStreamBufferOwner::kDefaultGrowth);
    return status;
}

void QgGenericEvent::AppendImage(std::vector<uint8_t>& image) const {
    // The first four numbers in the machine's order, as the image has
    // always carried them.
    AppendRaw(image, &m_dwEventNumber, 4);
    AppendRaw(image, &m_dwPriority, 4);
    AppendRaw(image, &m_dwSourceAddress, 4);
    AppendRaw(image, &m_dwDestinationAddress, 4);
    AppendText(image, m_strTimeText);
    const auto wLength = static_cast<uint16_t>(m_DataBlock.size());
    AppendRaw(image, &wLength, 2);
    if (wLength > 0) {
        image.insert(image.end(), m_DataBlock.begin(), m_DataBlock.end());
        image.push_back(0);
    }
    AppendTextsAndNumbers(image);
}

uint32_t QgGenericEvent::WriteBytes(HostByteBuffer* pBuffer) {
    if (pBuffer == nullptr) {
        return QOR_E_INVALID_ARG;
    }
    try {
        std::vector<uint8_t> image;
        AppendImage(image);
        return pBuffer->Append(image.data(), static_cast<uint32_t>(image.size())) ? QOR_S_OK
                                                                                   : QOR_E_ALLOC_FAILED;
    } catch (const std::bad_alloc&) {
        return QOR_E_ALLOC_FAILED;
    }
}

uint32_t QgGenericEvent::LoadBytes(const uint8_t* pBytes, const uint32_t* pdwLength) {
    if (pdwLength == nullptr || (pBytes == nullptr && *pdwLength != 0)) {
        return QOR_E_INVALID_ARG;
    }
    try {
        // Read into a copy, so that a bad image leaves the event untouched.
        QgGenericEvent loaded(*this);
        ImageReader reader(pBytes, *pdwLength);
        uint16_t wBlockLength = 0;
        bool bRead = reader.Raw(&loaded.m_dwEventNumber, 4) && reader.Raw(&loaded.m_dwPriority, 4) &&
                     reader.Raw(&loaded.m_dwSourceAddress, 4) &&
                     reader.Raw(&loaded.m_dwDestinationAddress, 4) &&
                     reader.Text(loaded.m_strTimeText, kTimeTextMax - 1) && reader.Raw(&wBlockLength, 2);
        if (bRead && wBlockLength > 0) {
            uint8_t byZero = 1;
            bRead = reader.Block(loaded.m_DataBlock, wBlockLength) && reader.Raw(&byZero, 1) &&
                    byZero == 0;
        }
        std::string* const texts[] = {&loaded.m_strAlertName,   &loaded.m_strExtra[0],
                                      &loaded.m_strExtra[1],    &loaded.m_strExtra[2],
                                      &loaded.m_strExtra[3],    &loaded.m_strExtra[4],
                                      &loaded.m_strExtra[5],    &loaded.m_strExtra[6],
                                      &loaded.m_strPortName,    &loaded.m_strSourceAddressText,
                                      &loaded.m_strDestinationAddressText};
        for (std::string* pText : texts) {
            bRead = bRead && reader.Text(*pText, kLoadedTextMax);
        }
        for (uint32_t* pValue : {&loaded.m_dwProtocol, &loaded.m_dwSourcePort, &loaded.m_dwDestinationPort,
                                 &loaded.m_dwTime, &loaded.m_dwResponseMask}) {
            bRead = bRead && reader.BigEndian(*pValue);
        }
        uint32_t dwPairs = 0;
        bRead = bRead && reader.BigEndian(dwPairs);
        // A negative count means none; every pair must be in the image, so
        // a large count ends at the image's end rather than in memory.
        for (int32_t i = 0; bRead && i < static_cast<int32_t>(dwPairs); ++i) {
            Pair pair;
            bRead = reader.Text(pair.m_strName, kLoadedTextMax) && reader.Text(pair.m_strValue, kLoadedTextMax);
            if (bRead) {
                loaded.m_Pairs.push_back(std::move(pair));
            }
        }
        if (!bRead) {
            return QOR_E_NOT_ENOUGH_DATA;
        }
        std::string strTimeText = std::move(loaded.m_strTimeText);
        *this = loaded;
        // The text is taken as it stands: assignment formatted it anew.
        m_strTimeText = std::move(strTimeText);
        return QOR_S_OK;
    } catch (const std::bad_alloc&) {
        return QOR_E_ALLOC_FAILED;
    }
}
