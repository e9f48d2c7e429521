// The event's tagged-stream form: the digest body, the digest, writing the
// stream and reading it back.
#include <algorithm>
#include <cstring>
#include <new>

#include "qorEventLib/CQorEvent.h"
#include "qorEventLib/qorEventStatus.h"
#include "qorToolsLib/MD5.h"
#include "qorToolsLib/QORError.h"
#include "qorToolsLib/TraceInterface.h"

namespace {

constexpr uint32_t kUpdatedParameterSection = 3;

// Runs `body`, turning a raised status (or exhausted memory) into a result.
template <typename Body>
StatusCode Catching(Body body) {
    try {
        return body();
    } catch (const qorErrorException& e) {
        return e.Status();
    } catch (const std::bad_alloc&) {
        return QOR_E_ALLOC_FAILED;
    }
}

StatusCode Check(StatusCode status) {
    if (status != QOR_S_OK) {
        throw qorErrorException(status, "osStatus", __FILE__, __LINE__);
    }
    return status;
}

void Digest(const qorStreamBufferOwner& owner, uint8_t digest[CQorEvent::kAlertIdSize]) {
    MD5Context context;
    MD5Init(&context);
    if (owner.GetData() != nullptr) {
        MD5Update(&context, owner.GetData(), owner.GetLength());
    }
    MD5Final(digest, &context);
}

}  // namespace

StatusCode CQorEvent::WriteBody(qorStreamEncode& encoder, bool useCurrent) const {
    if (m_uCounts[0] != kHeaderCount) {
        return EVL_ALERT_HEADER_INCOMPLETE;
    }
    const EventAVP& version = m_Sections[0][kAlertFormatVersion];
    const EventAVP& alertId = m_Sections[0][kAlertID];
    if (alertId.m_uId != kAlertID || !alertId.m_sName.empty() ||
        alertId.m_Value.Type() != VTypeBlob || !alertId.m_Value.IsSet() ||
        version.m_uId != kAlertFormatVersion || !version.m_sName.empty() ||
        version.m_Value.Type() != VTypeUint32 || version.m_Value.GetUint32() != kFormatVersion) {
        return EVL_ALERT_INVALID_REQUIRED_PARAMETER;
    }
    return Catching([&]() -> StatusCode {
        Check(encoder.BeginStructure(nullptr, 0));
        for (uint32_t index = 0; index < kHeaderCount; ++index) {
            const EventAVP& record = m_Sections[0][index];
            if (record.m_uId != index || !record.m_sName.empty() ||
                record.m_Value.Type() != RequiredKind(index)) {
                return EVL_ALERT_INVALID_REQUIRED_PARAMETER;
            }
            if (index == kAlertID) {
                continue;
            }
            const AlertValue& value = useCurrent ? record.m_Value : OriginalValue(0, index);
            Check(value.Encode(encoder, nullptr, index));
        }
        Check(encoder.EndStructure());

        for (uint32_t section = 1; section <= 2; ++section) {
            if (m_Sections[section].empty()) {
                continue;
            }
            uint32_t before = encoder.GetLength();
            bool wrote = false;
            Check(encoder.BeginStructure(nullptr, section));
            for (size_t i = 0; i < m_Sections[section].size(); ++i) {
                const EventAVP& record = m_Sections[section][i];
                if ((record.m_uId >> 16) != section || record.m_sName.empty() ||
                    record.m_Value.Type() == VTypeUnknown) {
                    return EVL_ALERT_INVALID_OTHER_PARAMETER;
                }
                if (useCurrent) {
                    Check(record.m_Value.Encode(encoder, record.m_sName.c_str(), 0));
                    wrote = true;
                    continue;
                }
                // An attribute that exists only through an update has no
                // original and stays out of the body.
                const AlertValue& original = OriginalValue(section, i);
                if (original.Type() != VTypeUnknown) {
                    Check(original.Encode(encoder, record.m_sName.c_str(), 0));
                    wrote = true;
                }
            }
            Check(encoder.EndStructure());
            if (!wrote) {
                Check(encoder.Unwrite(encoder.GetLength() - before));
            }
        }
        return QOR_S_OK;
    });
}

StatusCode CQorEvent::ComputeAlertIdKeepingBody() {
    StatusCode status = m_Outgoing.ReleaseBuffer();
    if (status == QOR_S_OK) {
        status = WriteBody(m_Outgoing, true);
    }
    if (status != QOR_S_OK) {
        return status;
    }
    if (!AlertIdIsZero()) {
        return EVL_ALERT_ID_ALREADY_SET;
    }
    if (!m_Sections[kUpdatedParameterSection].empty()) {
        return EVL_ALERT_ID_NOT_SET;
    }
    uint8_t digest[kAlertIdSize];
    Digest(m_Outgoing, digest);
    AlertBlob* blob = m_Sections[0][kAlertID].m_Value.GetBlob();
    if (blob == nullptr || !blob->HasPayload()) {
        return EVL_VALUE_NOT_SET;
    }
    if (blob->Size() < kAlertIdSize) {
        return QOR_E_INVALID_ARG;
    }
    // In place: events sharing the blob see the digest too.
    std::memcpy(blob->MutableData(), digest, kAlertIdSize);
    return QOR_S_OK;
}

StatusCode CQorEvent::ComputeAlertId() {
    StatusCode status = ComputeAlertIdKeepingBody();
    m_Outgoing.ReleaseBuffer();
    return status;
}

StatusCode CQorEvent::WriteStream() {
    StatusCode status = ComputeAlertIdKeepingBody();
    if (status != QOR_S_OK && status != EVL_ALERT_ID_ALREADY_SET) {
        return status;
    }
    Check(m_Outgoing.BeginStructure(nullptr, 0));
    Check(m_Sections[0][kAlertID].m_Value.Encode(m_Outgoing, nullptr, kAlertID));
    Check(m_Outgoing.EndStructure());
    if (!m_Sections[kUpdatedParameterSection].empty()) {
        Check(m_Outgoing.BeginStructure(nullptr, kUpdatedParameterSection));
        for (const EventAVP& record : m_Sections[kUpdatedParameterSection]) {
            if ((record.m_uId & 0xFFFF0000u) != (kUpdatedParameterSection << 16) ||
                record.m_sName.empty()) {
                return EVL_ALERT_INVALID_UPDATED_AVP;
            }
            Check(record.m_Value.Encode(m_Outgoing, record.m_sName.c_str(), 0));
        }
        Check(m_Outgoing.EndStructure());
    }
    Check(m_Outgoing.InsertEndItem(nullptr, qorStream::kStreamEndUserType));
    return QOR_S_OK;
}

uint32_t CQorEvent::Serialize(CEventFilter* /*filter*/, qorStreamBufferOwner& owner) {
    return Catching([&]() -> StatusCode {
        // A loaded event goes on as exactly the bytes it was read from; a
        // serialised one as its cached form.
        if (m_Incoming.GetCapacity() != 0) {
            return owner.ShareBuffer(m_Incoming);
        }
        if (m_Outgoing.HasBuffer()) {
            return owner.ShareBuffer(m_Outgoing);
        }
        StatusCode status = Catching([&] { return WriteStream(); });
        if (status != QOR_S_OK) {
            // Never cache a partial form.
            m_Outgoing.ReleaseBuffer();
            return status;
        }
        return owner.ShareBuffer(m_Outgoing);
    });
}

StatusCode CQorEvent::AddUpdatedParameter(const char* name, const AlertValue& value) {
    // The name must denote one attribute: a header value, or an attribute
    // of section 1 or 2, in exactly one of them.
    std::string key = name != nullptr ? name : "";
    int owners = 0;
    for (uint32_t index = 0; index < kHeaderCount; ++index) {
        if (!key.empty() && key == HeaderName(index)) {
            ++owners;
            break;
        }
    }
    owners += Find(key, 1).IsValid() ? 1 : 0;
    owners += Find(key, 2).IsValid() ? 1 : 0;
    if (owners != 1) {
        return EVL_ALERT_INVALID_UPDATED_AVP;
    }
    if (Find(key, kUpdatedParameterSection).IsValid()) {
        return EVL_ALERT_ILLEGAL_RESET;
    }
    Append(kUpdatedParameterSection, key, value);
    return QOR_S_OK;
}

StatusCode CQorEvent::LoadItems(qorStreamDecode& decoder) {
    uint32_t section = kSectionCount;  // none yet
    bool unsupportedType = false;
    bool unsupportedSection = false;
    StatusCode status = QOR_S_OK;
    while (status == QOR_S_OK) {
        const char* name = nullptr;
        uint32_t userType = 0;
        uint8_t type = 0;
        status = decoder.PeekHeader(&name, &userType, &type);
        if (status != QOR_S_OK) {
            break;
        }
        if (type == ET_END) {
            if (userType == qorStream::kStreamEndUserType) {
                break;
            }
            status = decoder.EndStructure();
            continue;
        }
        if (type == ET_STRUCT) {
            if (userType < kSectionCount) {
                status = decoder.BeginStructure(nullptr, nullptr);
                section = userType;
            } else {
                status = decoder.SkipItem();
                unsupportedSection = true;
            }
            continue;
        }
        AlertValue value;
        status = value.Decode(decoder, type);
        if (status == EVL_ALERT_UNSUPPORTED_TYPE) {
            status = decoder.SkipItem();
            unsupportedType = true;
            continue;
        }
        if (status != QOR_S_OK) {
            break;
        }
        status = section == kUpdatedParameterSection ? AddUpdatedParameter(name, value)
                                            : AddDecodedValue(userType, name, value, section);
    }
    if (status == QOR_E_END_OF_STRUCTURE) {
        status = QOR_S_OK;
    }
    // Both noted: the unsupported section is reported.
    if (status == QOR_S_OK && unsupportedSection) {
        status = EVL_ALERT_UNSUPPORTED_SECTION;
    } else if (status == QOR_S_OK && unsupportedType) {
        status = EVL_ALERT_UNSUPPORTED_TYPE;
    }
    return status;
}

uint32_t CQorEvent::Load(qorStreamBufferOwner& owner) {
    return Catching([&]() -> StatusCode {
        qorStreamDecode decoder(owner);
        decoder.SetNoThrow(true);
        StatusCode status = LoadItems(decoder);
        if (status == QOR_S_OK) {
            status = m_Incoming.ShareBuffer(decoder);
            m_Incoming.Rewind();
        }
        return status;
    });
}

uint32_t CQorEvent::ValidateIntegrity() const {
    return Catching([&]() -> StatusCode {
        qorStreamEncode encoder(false, qorStreamBufferOwner::kDefaultGrowth);
        StatusCode status = WriteBody(encoder, false);
        if (status != QOR_S_OK) {
            return status;
        }
        if (AlertIdIsZero()) {
            return EVL_ALERT_ID_NOT_SET;
        }
        uint8_t digest[kAlertIdSize];
        Digest(encoder, digest);
        const AlertBlob* blob = AlertIdBlob();
        TraceInterface* trace = GetTraceInterface();
        trace->LogHexDump(0x2000, 15, "ValidateIntegrity", "Id", blob->Data(),
                          std::min(blob->Size(), kAlertIdSize));
        if (blob->Size() < kAlertIdSize || std::memcmp(blob->Data(), digest, kAlertIdSize) != 0) {
            trace->LogHexDump(0x1000, 15, "ValidateIntegrity", "Failed", digest, kAlertIdSize);
            return EVL_ALERT_INTEGRITY_FAILED;
        }
        return QOR_S_OK;
    });
}
