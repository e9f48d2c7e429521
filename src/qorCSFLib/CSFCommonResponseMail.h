#pragma once
// The framework's e-mail formatter: reads one alert event into its tag map
// and makes a subject and a body from it, in a product-neutral fixed layout
// or by filling the host's template.  The sensor's formatter derives from it
// to add its own wording and fields.
//
// The tag map keeps its values from one event to the next; the host is
// expected to use one object per alert.  No exception leaves an operation
// the host calls.

#include <cstdint>
#include <string>

#include "hostwarden/ICSFCommonResponseMail.h"
#include "qorCSFLib/ResponseTagMap.h"

class ADFGenericEvent;
class QgGenericEvent;

class CCSFCommonResponseMail : public ICSFCommonResponseMail {
public:
    CCSFCommonResponseMail();

    bool ExtractEventData(ICSFAlertEvent* pEvent) override;
    const char* GetBody(const char* pszTemplate) override;
    const char* GetSubject(const char* pszTemplate) override;
    int32_t Release() override;

    const ResponseTagMap& Tags() const { return m_Tags; }

protected:
    virtual ~CCSFCommonResponseMail();

    virtual void ExtractADFEvent(ADFGenericEvent* pEvent);
    virtual void ExtractQgEvent(QgGenericEvent* pEvent);
    virtual void FormatDetails();
    virtual void FormatHeader();
    virtual void FormatActions();
    virtual void ReplaceTags(std::string& out, const char* pszTemplate);
    virtual const char* PriorityText(int32_t nPriority);

    // The header line and "Details:", with `pszDetectedBy` between the alert
    // name and the sensor name.  Tags it needs are registered (empty) when
    // missing.
    void FormatHeaderLine(const char* pszDetectedBy);
    // The value of a registered tag, or null.
    const std::string* FindTag(const char* pszTag) const;

    ResponseTagMap m_Tags;
    std::string m_strBody;
    std::string m_strSubject;

private:
    bool ExtractEventDataUnguarded(ICSFAlertEvent* pEvent);
    void KeepValuesOnTheirLines();
};
