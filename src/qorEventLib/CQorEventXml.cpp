// The event's XML form.
#include <new>

#include "qorEventLib/AdfXmlUtils.h"
#include "qorEventLib/CQorEvent.h"
#include "qorEventLib/qorEventStatus.h"
#include "qorToolsLib/QORError.h"

namespace {

[[noreturn]] void Raise(StatusCode status, const char* name) {
    throw qorErrorException(status, name, __FILE__, __LINE__);
}

void RaiseIfFailed(StatusCode status) {
    if (status == EVL_ALERT_UNSUPPORTED_TYPE) {
        Raise(status, "EVL_ALERT_UNSUPPORTED_TYPE");
    }
    if (status != QOR_S_OK) {
        Raise(status, "osStatus");
    }
}

}  // namespace

StatusCode CQorEvent::WriteXml(std::string& text) {
    // An event whose stream form is held is frozen, and its records were
    // written whole: the stream stays for the next Serialize and nothing
    // needs writing again.  Any other is checked by writing its body, and
    // an open one is frozen by this first rendering.
    if (!m_Outgoing.HasBuffer()) {
        if (m_Outgoing.ReleaseBuffer() != QOR_S_OK) {
            Raise(QOR_E_WRONG_STATE, "osStatus");
        }
        StatusCode status = ComputeAlertId();
        if (status != QOR_S_OK && status != EVL_ALERT_ID_ALREADY_SET) {
            Raise(status, "osStatus");
        }
    }

    AdfXmlUtils::StartEventElement(text);
    for (uint32_t index = 0; index < kHeaderCount; ++index) {
        const EventAVP& record = m_Sections[0][index];
        if (record.m_uId != index || !record.m_sName.empty() ||
            record.m_Value.Type() != RequiredKind(index)) {
            Raise(EVL_ALERT_INVALID_REQUIRED_PARAMETER, "EVL_ALERT_INVALID_REQUIRED_PARAMETER");
        }
        if (index == kAlertID) {
            AdfXmlUtils::AppendHeaderAttribute(text, index, GetAlertIdText());
        } else {
            RaiseIfFailed(AdfXmlUtils::AppendHeaderValue(text, index, record.m_Value));
        }
    }
    AdfXmlUtils::CloseEventStartTag(text);

    for (uint32_t section = 1; section < kSectionCount; ++section) {
        const char* name = nullptr;
        if (AdfXmlUtils::SectionName(section, &name) != QOR_S_OK) {
            Raise(EVL_ALERT_UNSUPPORTED_SECTION, "EVL_ALERT_UNSUPPORTED_SECTION");
        }
        AdfXmlUtils::StartSectionElement(text, name);
        for (const EventAVP& record : m_Sections[section]) {
            if (section == 3) {
                if ((record.m_uId & 0xFFFF0000u) != 0x30000u || record.m_sName.empty()) {
                    Raise(EVL_ALERT_INVALID_UPDATED_AVP, "EVL_ALERT_INVALID_UPDATED_AVP");
                }
            } else if ((record.m_uId >> 16) != section || record.m_sName.empty() ||
                       record.m_Value.Type() == VTypeUnknown) {
                Raise(EVL_ALERT_INVALID_OTHER_PARAMETER, "EVL_ALERT_INVALID_OTHER_PARAMETER");
            }
            RaiseIfFailed(AdfXmlUtils::AppendParamElement(text, record));
        }
        AdfXmlUtils::EndSectionElement(text, name);
    }
    AdfXmlUtils::EndEventElement(text);
    return QOR_S_OK;
}

uint32_t CQorEvent::ToXml(std::string& text) {
    // Nothing may leave this interface as an exception: a failure is
    // answered as its status, and what was appended so far stays.
    try {
        return WriteXml(text);
    } catch (const qorErrorException& e) {
        return e.Status();
    } catch (const std::bad_alloc&) {
        return QOR_E_ALLOC_FAILED;
    }
}
