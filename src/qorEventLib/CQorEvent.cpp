#include "qorEventLib/CQorEvent.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "qorEventLib/CEventFilter.h"
#include "qorEventLib/qorEventStatus.h"

namespace {

const char* const kHeaderNames[CQorEvent::kHeaderCount] = {
    "AlertFormatVersion", "AlertNameType",       "AlertName",     "AlertDateTime",
    "LocalTimezoneOffset", "AlertTimePrecision", "AlertTimeSequenceID", "AlertID",
    "SensorAddress",      "SensorName",          "ProductID",     "AlertType",
    "AlertPriority",      "AlertFlags",
};

const AlertValueType kRequiredKinds[CQorEvent::kHeaderCount] = {
    VTypeUint32, VTypeUint8,  VTypeString, VTypeDate,   VTypeInteger, VTypeUint32, VTypeUint32,
    VTypeBlob,   VTypeString, VTypeString, VTypeUint32, VTypeUint32,  VTypeUint32, VTypeUint32,
};

// Room made at once for the records of an attribute section: an alert
// event carries a dozen or so, and room for more is made as they come.
// Updated parameters exist only for events updated after they were sent.
constexpr uint32_t kReservedRecords = 16;
constexpr uint32_t kAttributeSectionFirst = 1;
constexpr uint32_t kUpdatedSection = 3;

uint32_t RecordId(uint32_t section, uint32_t position) { return (section << 16) | position; }

// The digest text alphabet: "A" to "Z" for 0-25, "4" to "9" for 26-31.
char DigitOf(uint32_t value) {
    return value < 26 ? static_cast<char>('A' + value) : static_cast<char>('4' + (value - 26));
}

int ValueOf(char digit) {
    if (digit >= 'A' && digit <= 'Z') {
        return digit - 'A';
    }
    if (digit >= '4' && digit <= '9') {
        return 26 + (digit - '4');
    }
    return -1;
}

}  // namespace

const char* CQorEvent::HeaderName(uint32_t index) {
    return index < kHeaderCount ? kHeaderNames[index] : nullptr;
}

AlertValueType CQorEvent::RequiredKind(uint32_t index) {
    return index < kHeaderCount ? kRequiredKinds[index] : VTypeUnknown;
}

CQorEvent::CQorEvent()
    : m_uCounts{0, 0, 0, 0},
      m_Incoming(true, qorStreamBufferOwner::kDefaultGrowth),
      m_Outgoing(false, qorStreamBufferOwner::kDefaultGrowth),
      m_uErrorMode(1) {
    Reset();
}

CQorEvent::CQorEvent(const CQorEvent& other) : CQorEvent() { AssignFrom(other); }

CQorEvent::~CQorEvent() = default;

int32_t CQorEvent::AddRef() { return CRefCountThreadsafeObject::AddRef(); }

int32_t CQorEvent::Release() { return CRefCountThreadsafeObject::Release(); }

uint32_t CQorEvent::Reserved(uint32_t /*unused*/) { return EVL_ALERT_RESERVED; }

void CQorEvent::Reset() {
    m_Sections[0].assign(kHeaderCount, EventAVP());
    for (uint32_t section = kAttributeSectionFirst; section < kSectionCount; ++section) {
        m_Sections[section].clear();
        if (section != kUpdatedSection) {
            m_Sections[section].reserve(kReservedRecords);
        }
    }
    std::fill(std::begin(m_uCounts), std::end(m_uCounts), 0u);
    m_Incoming.ReleaseBuffer();
    m_Outgoing.ReleaseBuffer();
    m_uErrorMode = 1;
}

void CQorEvent::AssignFrom(const CQorEvent& other) {
    if (&other == this) {
        return;
    }
    // Records are copied; their text and blob payloads are shared.
    for (uint32_t section = kAttributeSectionFirst; section < kSectionCount; ++section) {
        m_Sections[section].clear();
        m_uCounts[section] = 0;
    }
    m_Sections[0] = other.m_Sections[0];
    m_Sections[0].resize(kHeaderCount);
    m_uCounts[0] = other.m_uCounts[0];
    for (uint32_t section = kAttributeSectionFirst; section < kSectionCount; ++section) {
        for (const EventAVP& record : other.m_Sections[section]) {
            Append(section, record.m_sName, record.m_Value);
        }
    }
    ReleaseBuffers();
}

void CQorEvent::Append(uint32_t section, const std::string& name, const AlertValue& value) {
    m_Sections[section].emplace_back(RecordId(section, m_uCounts[section]), name, value);
    ++m_uCounts[section];
}

const std::vector<EventAVP>& CQorEvent::GetSection(uint32_t section) const {
    static const std::vector<EventAVP> kNone;
    return section < kSectionCount ? m_Sections[section] : kNone;
}

EventIterator CQorEvent::MakeIterator(uint32_t section, int32_t index) const {
    EventIterator it;
    if (section >= kSectionCount) {
        return it;
    }
    const std::vector<EventAVP>& records = m_Sections[section];
    it.m_bValid = 1;
    it.m_uSection = section;
    if (index < 0 || static_cast<size_t>(index) >= records.size()) {
        it.m_pRecord = records.data() + records.size();
        it.m_iIndex = -1;
    } else {
        it.m_pRecord = records.data() + index;
        it.m_iIndex = index;
    }
    return it;
}

EventIterator CQorEvent::Begin(uint32_t section) const { return MakeIterator(section, 0); }

EventIterator CQorEvent::End(uint32_t section) const { return MakeIterator(section, -1); }

const EventAVP* CQorEvent::GetRecord(const EventIterator& position) const {
    if (!position.IsValid() || position.m_uSection >= kSectionCount || position.m_iIndex < 0) {
        return nullptr;
    }
    const std::vector<EventAVP>& records = m_Sections[position.m_uSection];
    size_t index = static_cast<size_t>(position.m_iIndex);
    return index < records.size() ? &records[index] : nullptr;
}

EventIterator CQorEvent::Find(const std::string& name, uint32_t section) const {
    StatusCode status;
    return Find(name, section, status);
}

EventIterator CQorEvent::Find(const std::string& name, uint32_t section, StatusCode& status) const {
    status = QOR_S_OK;
    if (name.empty()) {
        status = CMNERR_INTERNAL_ERROR;
        return EventIterator();
    }
    if (section >= kSectionCount) {
        status = EVL_ALERT_ILLEGAL_SECTION;
        return EventIterator();
    }
    if (section == 0) {
        for (uint32_t i = 0; i < kHeaderCount; ++i) {
            if (name == kHeaderNames[i]) {
                return MakeIterator(0, static_cast<int32_t>(i));
            }
        }
        return EventIterator();
    }
    const std::vector<EventAVP>& records = m_Sections[section];
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].m_sName == name) {
            return MakeIterator(section, static_cast<int32_t>(i));
        }
    }
    return EventIterator();
}

const AlertBlob* CQorEvent::AlertIdBlob() const {
    const EventAVP& record = m_Sections[0][kAlertID];
    if (record.m_uId != kAlertID) {
        return nullptr;
    }
    return record.m_Value.GetBlob();
}

bool CQorEvent::AlertIdIsZero() const {
    const AlertBlob* blob = AlertIdBlob();
    if (blob == nullptr || !blob->HasPayload()) {
        return true;
    }
    uint32_t size = std::min(blob->Size(), kAlertIdSize);
    const uint8_t* data = blob->Data();
    return std::all_of(data, data + size, [](uint8_t b) { return b == 0; });
}

bool CQorEvent::IsFrozen() const { return !AlertIdIsZero(); }

uint32_t CQorEvent::SetHeaderValue(uint32_t index, const AlertValue& value) {
    if (index >= m_Sections[0].size()) {
        return EVL_ALERT_OFFSET_NOT_VALID;
    }
    if (IsFrozen()) {
        return EVL_ALERT_ILLEGAL_RESET;
    }
    m_Sections[0][index] = EventAVP(index, value);
    m_uCounts[0] = std::max(m_uCounts[0], index + 1);
    return QOR_S_OK;
}

uint32_t CQorEvent::Add(const std::string& name, const AlertValue& value, uint32_t section) {
    if (section != 1 && section != 2) {
        return EVL_ALERT_ILLEGAL_SECTION;
    }
    if (IsFrozen()) {
        return EVL_ALERT_ILLEGAL_RESET;
    }
    // An unnamed attribute could never be written; refuse it here.
    if (name.empty()) {
        return CMNERR_INTERNAL_ERROR;
    }
    EventIterator found = Find(name, section);
    if (found.IsValid()) {
        m_Sections[section][static_cast<size_t>(found.m_iIndex)].m_Value = value;
    } else {
        Append(section, name, value);
    }
    return QOR_S_OK;
}

uint32_t CQorEvent::AddDecodedValue(uint32_t userType, const char* name, const AlertValue& value,
                                    uint32_t section) {
    if (name == nullptr || name[0] == '\0') {
        return SetHeaderValue(userType, value);
    }
    return Add(name, value, section);
}

uint32_t CQorEvent::UpdateAt(const EventIterator& position, const AlertValue& value) {
    if (!position.IsValid()) {
        return EVL_ALERT_INVALID_ITERATOR;
    }
    const EventAVP* current = GetRecord(position);
    if (current == nullptr || position.m_uSection == kUpdatedSection) {
        return EVL_ALERT_ILLEGAL_ITERATOR;
    }
    if (!IsFrozen()) {
        return EVL_ALERT_ILLEGAL_UPDATE;
    }
    // A header value is remembered under its header name, whatever its
    // record holds.
    std::string name = position.m_uSection == 0 ? HeaderName(static_cast<uint32_t>(position.m_iIndex))
                                                : current->m_sName;
    if (!Find(name, kUpdatedSection).IsValid()) {
        Append(kUpdatedSection, name, current->m_Value);
    }
    m_Sections[position.m_uSection][static_cast<size_t>(position.m_iIndex)].m_Value = value;
    return ReleaseBuffers();
}

uint32_t CQorEvent::Update(const std::string& name, const AlertValue& value, uint32_t section) {
    if (section != 1 && section != 2) {
        return EVL_ALERT_ILLEGAL_SECTION;
    }
    if (!IsFrozen()) {
        return EVL_ALERT_ILLEGAL_UPDATE;
    }
    if (name.empty()) {
        return CMNERR_INTERNAL_ERROR;
    }
    EventIterator found = Find(name, section);
    if (!found.IsValid()) {
        // A new attribute: it exists only through the update, so its
        // original is unknown and the digest body leaves it out.
        Append(section, name, AlertValue());
        found = MakeIterator(section, static_cast<int32_t>(m_Sections[section].size() - 1));
    }
    return UpdateAt(found, value);
}

uint32_t CQorEvent::UpdateHeaderValue(uint32_t index, const AlertValue& value) {
    if (index >= kHeaderCount) {
        return EVL_ALERT_OFFSET_NOT_VALID;
    }
    return UpdateAt(Find(kHeaderNames[index], 0), value);
}

StatusCode CQorEvent::ReleaseBuffers() {
    StatusCode status = m_Incoming.ReleaseBuffer();
    StatusCode outgoing = m_Outgoing.ReleaseBuffer();
    return status != QOR_S_OK ? status : outgoing;
}

const AlertValue& CQorEvent::OriginalValue(uint32_t section, size_t index) const {
    const EventAVP& current = m_Sections[section][index];
    std::string_view name =
        section == 0 ? std::string_view(kHeaderNames[index]) : std::string_view(current.m_sName);
    for (const EventAVP& updated : m_Sections[kUpdatedSection]) {
        if (updated.m_sName == name) {
            return updated.m_Value;
        }
    }
    return current.m_Value;
}

EventAVP CQorEvent::GetOriginal(const EventIterator& position) const {
    const EventAVP* current = GetRecord(position);
    if (current == nullptr) {
        return EventAVP();
    }
    if (position.m_uSection == 0) {
        uint32_t index = static_cast<uint32_t>(position.m_iIndex);
        return EventAVP(index, OriginalValue(0, index));
    }
    const EventAVP* original = GetRecord(Find(current->m_sName, kUpdatedSection));
    return original != nullptr ? *original : *current;
}

bool CQorEvent::Equals(const CQorEvent& other) const {
    for (uint32_t section = 0; section < kSectionCount; ++section) {
        const std::vector<EventAVP>& mine = m_Sections[section];
        const std::vector<EventAVP>& theirs = other.m_Sections[section];
        size_t common = std::min(mine.size(), theirs.size());
        for (size_t i = 0; i < common; ++i) {
            if (mine[i].m_sName != theirs[i].m_sName || mine[i].m_uId != theirs[i].m_uId ||
                !mine[i].m_Value.Equals(theirs[i].m_Value)) {
                return false;
            }
        }
    }
    return true;
}

void CQorEvent::DigestToText(const uint8_t digest[kAlertIdSize], char text[kAlertIdTextSize + 1]) {
    // Bits are taken from the last byte towards the first, each byte least
    // significant bit first; once the bytes run out 1 bits pad the last
    // character.
    uint32_t bits = 0;
    uint32_t pending = 0;
    int next = kAlertIdSize - 1;
    for (uint32_t i = 0; i < kAlertIdTextSize; ++i) {
        if (pending < 5) {
            uint32_t byte = next >= 0 ? digest[next--] : 0xFFu;
            bits |= byte << pending;
            pending += 8;
        }
        text[i] = DigitOf(bits & 0x1F);
        bits >>= 5;
        pending -= 5;
    }
    text[kAlertIdTextSize] = '\0';
}

StatusCode CQorEvent::TextToDigest(const char* text, size_t length, uint8_t digest[kAlertIdSize]) {
    if (text == nullptr || length != kAlertIdTextSize) {
        return QOR_E_INVALID_DATA;
    }
    uint32_t bits = 0;
    uint32_t pending = 0;
    int next = kAlertIdSize - 1;
    for (size_t i = 0; i < length; ++i) {
        int value = ValueOf(text[i]);
        if (value < 0) {
            return QOR_E_INVALID_DATA;
        }
        bits |= static_cast<uint32_t>(value) << pending;
        pending += 5;
        if (pending >= 8 && next >= 0) {
            digest[next--] = static_cast<uint8_t>(bits);
            bits >>= 8;
            pending -= 8;
        }
    }
    return QOR_S_OK;
}

char* CQorEvent::GetAlertIdText(char* buffer) const {
    const AlertBlob* blob = AlertIdBlob();
    if (blob == nullptr || !blob->HasPayload() || blob->Size() < kAlertIdSize) {
        buffer[0] = '\0';
        return buffer;
    }
    DigestToText(blob->Data(), buffer);
    return buffer;
}

std::string CQorEvent::GetAlertIdText() const {
    char buffer[kAlertIdTextSize + 1];
    return GetAlertIdText(buffer);
}

uint32_t CQorEvent::SetAlertIdText(const char* text) {
    return SetAlertIdText(std::string(text != nullptr ? text : ""));
}

uint32_t CQorEvent::SetAlertIdText(const std::string& text) {
    if (!AlertIdIsZero()) {
        return EVL_ALERT_ID_ALREADY_SET;
    }
    uint8_t digest[kAlertIdSize];
    StatusCode status = TextToDigest(text.data(), text.size(), digest);
    if (status != QOR_S_OK) {
        return status;
    }
    return SetHeaderValue(kAlertID, AlertValue::Blob(digest, kAlertIdSize));
}

namespace {

// The value an entry tests, as a filter operand; false when the event has
// no such field or its kind cannot be tested.
bool FieldOperand(const AlertValue& value, CEfExpData& operand) {
    switch (value.Type()) {
        case VTypeInteger:
        case VTypeUint32:
            operand = CEfExpData::Number(value.GetUint32());
            return true;
        case VTypeUint16:
            operand = CEfExpData::Number(value.GetUint16());
            return true;
        case VTypeUint8:
            operand = CEfExpData::Number(value.GetUint8());
            return true;
        case VTypeDate:
            operand = CEfExpData::Date(static_cast<uint64_t>(value.GetDate()));
            return true;
        case VTypeString:
            operand = CEfExpData::Text(value.Text());
            return true;
        default:
            return false;
    }
}

}  // namespace

bool CQorEvent::Matches(const CEventFilter& filter) const {
    for (const auto& [entry, expression] : filter.GetEntries()) {
        CEfExpData operand;
        if (entry == CEventFilter::kSensorIdEntry) {
            operand = CEfExpData::SensorId(m_Sections[0][kSensorAddress].m_Value.Text(),
                                           m_Sections[0][kSensorName].m_Value.Text());
        } else if (entry == CEventFilter::kAlertNameEntry) {
            CEfExpData nameType;
            FieldOperand(m_Sections[0][kAlertNameType].m_Value, nameType);
            operand = CEfExpData::AlertName(static_cast<uint32_t>(nameType.m_uNumber),
                                            m_Sections[0][kAlertName].m_Value.Text());
        } else {
            EventIterator found = Find(entry, 0);
            if (!found.IsValid()) {
                found = Find(entry, 1);
            }
            const EventAVP* record = GetRecord(found);
            if (record == nullptr || !FieldOperand(record->m_Value, operand)) {
                return false;
            }
        }
        bool passes = false;
        if (expression.Evaluate(operand, passes) != QOR_S_OK || !passes) {
            return false;
        }
    }
    return true;
}
