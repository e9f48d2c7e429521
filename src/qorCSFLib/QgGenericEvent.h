#pragma once
// The second form of the alert event: a fixed record of numbers and texts
// with a list of name/value pairs.  The host receives it as a type 250,
// version 5 message behind the same 12-byte header as the other form; it
// also has a byte image of its own that it can load back.
//
// An event is used by one thread at a time; it has no reference count.

#include <cstdint>
#include <string>
#include <vector>

#include "hostwarden/ICSFAlertEvent.h"
#include "qorCSFLib/CSFAlertMessage.h"
#include "qorToolsLib/qorStatus.h"

class QgGenericEvent : public ICSFAlertEvent {
public:
    static constexpr uint32_t kMessageType = 250;
    static constexpr uint32_t kMessageVersion = 5;
    static constexpr uint32_t kDefaultProtocol = 253;
    static constexpr uint32_t kExtraTextCount = 7;
    // The most characters LoadBytes keeps of one text.
    static constexpr size_t kLoadedTextMax = 255;
    static constexpr size_t kTimeTextMax = 256;

    struct Pair {
        std::string m_strName;
        std::string m_strValue;
    };

    // Event number 0, every number 0 and every text empty.
    QgGenericEvent();
    // A complete event of now, numbered from the process-wide counter, with
    // the local address as source and destination and the parameters, up to
    // the first entry with an empty name, as its pairs.
    QgGenericEvent(const char* pszAlertName, uint32_t dwResponseMask, uint32_t dwPriority,
                   const CSFAlertParameter* pParameters);
    QgGenericEvent(const QgGenericEvent& other);
    // The time text is formatted anew, not copied.
    QgGenericEvent& operator=(const QgGenericEvent& other);
    virtual ~QgGenericEvent();

    int32_t GetPriority() override;
    ICSFAlertEvent* CreateEmpty() override;
    ICSFAlertEvent* Clone() override;
    uint32_t WriteMessage(CSFAlertMessage* pMessage) override;
    // Appends the byte image.
    uint32_t WriteBytes(HostByteBuffer* pBuffer) override;
    // Reads a byte image of at most *pdwLength bytes.  An image that ends
    // early or does not hold together gives a failure status and leaves the
    // event as it was.
    uint32_t LoadBytes(const uint8_t* pBytes, const uint32_t* pdwLength) override;
    void Destroy() override;

    // Sets the time and formats it as the local long date and time.
    void SetTime(uint32_t dwSeconds, uint32_t dwMicroseconds);

    uint32_t GetEventNumber() const { return m_dwEventNumber; }
    uint32_t GetTime() const { return m_dwTime; }
    uint32_t GetMicroseconds() const { return m_dwMicroseconds; }
    const std::string& GetAlertName() const { return m_strAlertName; }
    const std::string& GetTimeText() const { return m_strTimeText; }
    uint32_t GetResponseMask() const { return m_dwResponseMask; }
    void SetPriority(uint32_t dwPriority) { m_dwPriority = dwPriority; }
    uint32_t GetProtocol() const { return m_dwProtocol; }
    void SetProtocol(uint32_t dwProtocol) { m_dwProtocol = dwProtocol; }
    uint32_t GetSourceAddress() const { return m_dwSourceAddress; }
    uint32_t GetDestinationAddress() const { return m_dwDestinationAddress; }
    const std::string& GetSourceAddressText() const { return m_strSourceAddressText; }
    const std::string& GetDestinationAddressText() const { return m_strDestinationAddressText; }
    void SetSource(uint32_t dwAddress, const std::string& strText);
    void SetDestination(uint32_t dwAddress, const std::string& strText);
    // Extra texts 1 to 7.
    const std::string& GetExtraText(uint32_t dwNumber) const { return m_strExtra[dwNumber - 1]; }
    void SetExtraText(uint32_t dwNumber, const std::string& strText) { m_strExtra[dwNumber - 1] = strText; }
    uint32_t GetSourcePort() const { return m_dwSourcePort; }
    void SetSourcePort(uint32_t dwPort) { m_dwSourcePort = dwPort; }
    uint32_t GetDestinationPort() const { return m_dwDestinationPort; }
    void SetDestinationPort(uint32_t dwPort) { m_dwDestinationPort = dwPort; }
    const std::string& GetPortName() const { return m_strPortName; }
    void SetPortName(const std::string& strName) { m_strPortName = strName; }
    const std::vector<Pair>& GetPairs() const { return m_Pairs; }
    void AddPair(const std::string& strName, const std::string& strValue);
    const std::vector<uint8_t>& GetDataBlock() const { return m_DataBlock; }
    // At most 65,535 bytes are kept.
    void SetDataBlock(const uint8_t* pBytes, uint32_t dwLength);

    // The local address every event of the process starts from, looked up
    // on first use and kept.
    static uint32_t LocalAddress(std::string& strText);

private:
    void AppendImage(std::vector<uint8_t>& image) const;
    void AppendMessagePayload(std::vector<uint8_t>& payload) const;
    // What the message and the image share: the texts from the alert name
    // on, the numbers and the pairs.
    void AppendTextsAndNumbers(std::vector<uint8_t>& out) const;

    uint32_t m_dwEventNumber = 0;
    uint32_t m_dwTime = 0;
    uint32_t m_dwMicroseconds = 0;
    std::string m_strAlertName;
    std::string m_strTimeText;
    uint32_t m_dwResponseMask = 0;
    uint32_t m_dwPriority = 0;
    uint32_t m_dwProtocol = 0;
    uint32_t m_dwSourceAddress = 0;  // network byte order
    uint32_t m_dwDestinationAddress = 0;
    std::string m_strSourceAddressText;
    std::string m_strDestinationAddressText;
    // Extra texts 1 to 6, then 7.
    std::string m_strExtra[kExtraTextCount];
    uint32_t m_dwSourcePort = 0;
    uint32_t m_dwDestinationPort = 0;
    std::string m_strPortName;
    std::vector<Pair> m_Pairs;
    std::vector<uint8_t> m_DataBlock;
};
