#pragma once
// The event of the event library: fourteen header values (section 0) and
// three sections of named attributes (1 sensor parameters, 2 alert
// parameters, 3 updated parameters).
//
// An event is open until its AlertID (header 7) holds a nonzero digest: the
// MD5 of its serialised body.  From then on it is frozen: it can no longer
// be built, only updated, and the first update of a value keeps the value it
// replaced in section 3, so that the digest can still be checked against the
// event as it was first sent.
//
// Stream layout: structure 0 (header values but the AlertID, numbered by
// index), structures 1 and 2 when not empty (attributes named), structure 0
// holding the AlertID (number 7), structure 3 when not empty, and an end
// item numbered 65535.  The first three items are the digest body.
//
// Only the reference count is guarded; one thread builds, serialises or
// updates an event at a time.

#include <cstdint>
#include <string>
#include <vector>

#include "hostwarden/IEventData.h"
#include "qorEventLib/AlertValue.h"
#include "qorEventLib/CRefCountObject.h"
#include "qorEventLib/EventIterator.h"
#include "qorToolsLib/qorStreamDecode.h"
#include "qorToolsLib/qorStreamEncode.h"

enum EventHeaderIndex : uint32_t {
    kAlertFormatVersion = 0,
    kAlertNameType = 1,
    kAlertName = 2,
    kAlertDateTime = 3,
    kLocalTimezoneOffset = 4,
    kAlertTimePrecision = 5,
    kAlertTimeSequenceID = 6,
    kAlertID = 7,
    kSensorAddress = 8,
    kSensorName = 9,
    kProductID = 10,
    kAlertType = 11,
    kAlertPriority = 12,
    kAlertFlags = 13,
};

class CQorEvent : public CRefCountThreadsafeObject, public IEventData {
public:
    static constexpr uint32_t kHeaderCount = 14;
    static constexpr uint32_t kSectionCount = 4;
    static constexpr uint32_t kFormatVersion = 85;
    static constexpr uint32_t kAlertIdSize = 16;
    static constexpr uint32_t kAlertIdTextSize = 26;

    // "AlertFormatVersion" ... "AlertFlags"; null past index 13.
    static const char* HeaderName(uint32_t index);
    // The kind the serialiser requires of each header value.
    static AlertValueType RequiredKind(uint32_t index);

    CQorEvent();
    CQorEvent(const CQorEvent& other);
    CQorEvent& operator=(const CQorEvent&) = delete;
    ~CQorEvent() override;

    int32_t AddRef() override;
    int32_t Release() override;
    uint32_t Serialize(CEventFilter* filter, qorStreamBufferOwner& owner) override;
    uint32_t ToXml(std::string& text) override;
    uint32_t Load(qorStreamBufferOwner& owner) override;
    uint32_t Reserved(uint32_t unused) override;
    bool Matches(const CEventFilter& filter) const override;
    EventIterator Begin(uint32_t section) const override;
    EventIterator End(uint32_t section) const override;
    EventIterator Find(const std::string& name, uint32_t section) const override;
    uint32_t Add(const std::string& name, const AlertValue& value, uint32_t section) override;
    uint32_t SetHeaderValue(uint32_t index, const AlertValue& value) override;
    uint32_t Update(const std::string& name, const AlertValue& value, uint32_t section) override;
    uint32_t UpdateHeaderValue(uint32_t index, const AlertValue& value) override;
    uint32_t UpdateAt(const EventIterator& position, const AlertValue& value) override;
    EventAVP GetOriginal(const EventIterator& position) const override;
    uint32_t ValidateIntegrity() const override;
    char* GetAlertIdText(char* buffer) const override;
    std::string GetAlertIdText() const override;
    uint32_t SetAlertIdText(const char* text) override;
    uint32_t SetAlertIdText(const std::string& text) override;
    uint32_t AddDecodedValue(uint32_t userType, const char* name, const AlertValue& value,
                             uint32_t section) override;

    // Find, also answering CMNERR_INTERNAL_ERROR for an empty name and
    // EVL_ALERT_ILLEGAL_SECTION for a section above 3.
    EventIterator Find(const std::string& name, uint32_t section, StatusCode& status) const;
    // The record at a position, or null when the position is not valid.
    const EventAVP* GetRecord(const EventIterator& position) const;
    const std::vector<EventAVP>& GetSection(uint32_t section) const;
    uint32_t GetCount(uint32_t section) const { return section < kSectionCount ? m_uCounts[section] : 0; }

    void Reset();
    void AssignFrom(const CQorEvent& other);
    bool Equals(const CQorEvent& other) const;
    bool IsFrozen() const;
    StatusCode WriteBody(qorStreamEncode& encoder, bool useCurrent) const;
    // Computes and stores the digest of an open event; EVL_ALERT_ID_ALREADY_SET
    // when it is frozen.  Leaves no cached stream form behind.
    StatusCode ComputeAlertId();
    StatusCode ReleaseBuffers();

    // Digest text conversions (26 characters over "A"-"Z", "4"-"9").
    static void DigestToText(const uint8_t digest[kAlertIdSize], char text[kAlertIdTextSize + 1]);
    static StatusCode TextToDigest(const char* text, size_t length, uint8_t digest[kAlertIdSize]);

protected:
    // ComputeAlertId leaving the digest body in m_Outgoing, for Serialize.
    StatusCode ComputeAlertIdKeepingBody();
    // True while the AlertID holds no digest (missing, empty or all zero).
    bool AlertIdIsZero() const;
    const AlertBlob* AlertIdBlob() const;
    EventIterator MakeIterator(uint32_t section, int32_t index) const;
    // The value a record held before any update: its section 3 copy, or
    // the record's own.
    const AlertValue& OriginalValue(uint32_t section, size_t index) const;
    void Append(uint32_t section, const std::string& name, const AlertValue& value);
    StatusCode WriteStream();
    StatusCode LoadItems(qorStreamDecode& decoder);
    StatusCode AddUpdatedParameter(const char* name, const AlertValue& value);
    StatusCode WriteXml(std::string& text);

    std::vector<EventAVP> m_Sections[kSectionCount];
    uint32_t m_uCounts[kSectionCount];
    qorStreamDecode m_Incoming;
    qorStreamEncode m_Outgoing;
    // Nonzero: failures are returned.  Construction sets it and nothing
    // changes it.
    uint32_t m_uErrorMode;
};
