#pragma once
// The framework's user-specified-program formatter: reads one alert event
// into its tag map and fills the host's parameter template with it, word by
// word, each value quoted so that it stays one argument of the program.
//
// The tag map keeps its values from one event to the next; the host is
// expected to use one object per alert.  No exception leaves an operation
// the host calls.

#include <cstdint>
#include <string>

#include "hostwarden/ICSFCommonResponseUserSpecified.h"
#include "qorCSFLib/ResponseTagMap.h"

class ADFGenericEvent;
class QgGenericEvent;

class CCSFCommonResponseUserSpecified : public ICSFCommonResponseUserSpecified {
public:
    CCSFCommonResponseUserSpecified();

    const char* GetParameters(const char* pszTemplate, ICSFAlertEvent* pEvent) override;
    int32_t Release() override;

    const ResponseTagMap& Tags() const { return m_Tags; }

protected:
    virtual ~CCSFCommonResponseUserSpecified();

    virtual void ReplaceTags(const char* pszTemplate);
    virtual void ExtractADFEvent(ADFGenericEvent* pEvent);
    virtual void ExtractQgEvent(QgGenericEvent* pEvent);
    virtual const char* PriorityText(int32_t nPriority);

    ResponseTagMap m_Tags;
    std::string m_strParameters;

private:
    const char* GetParametersUnguarded(const char* pszTemplate, ICSFAlertEvent* pEvent);
};
