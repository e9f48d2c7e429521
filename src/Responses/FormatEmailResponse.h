#pragma once
// The sensor's e-mail formatter: the framework's formatter with the
// product's wording, the alert's addresses, ports, protocol and the other
// fields of the sensor's own events, and the alert-type names.

#include <cstdint>

#include "Responses/AlertTypeNameMap.h"
#include "qorCSFLib/CSFCommonResponseMail.h"

class CFormatEmailResponse : public CCSFCommonResponseMail {
public:
    CFormatEmailResponse();

protected:
    ~CFormatEmailResponse() override;

    void ExtractADFEvent(ADFGenericEvent* pEvent) override;
    void FormatDetails() override;
    void FormatHeader() override;

private:
    // "\t<label><tag value>\n" when the tag is registered.
    void AppendDetail(const char* pszLabel, const char* pszTag);
    // A port line: the name, then the number in parentheses when its text
    // differs from the name's.
    void AppendPortDetail(const char* pszLabel, const char* pszNameTag, const char* pszNumberTag);

    // The alert type of the event being read; it decides whether the
    // resource or the application fields are read.  0 when the event names
    // none.
    int32_t m_nAlertType = 0;
    AlertTypeNameMap m_AlertTypes;
};
