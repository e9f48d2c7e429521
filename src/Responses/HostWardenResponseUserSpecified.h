#pragma once
// The sensor's user-specified-program formatter: the framework's formatter
// with the sensor's own fields, the short address and port aliases
// ("<srcaddr>", "<srcport>", "<destaddr>", "<destport>") and the
// alert-type names.  The fields are read only from the sensor's own alert
// events, which carry the record they were made from.

#include "Responses/AlertTypeNameMap.h"
#include "qorCSFLib/CSFCommonResponseUserSpecified.h"

class CHostWardenResponseUserSpecified : public CCSFCommonResponseUserSpecified {
public:
    CHostWardenResponseUserSpecified();

protected:
    ~CHostWardenResponseUserSpecified() override;

    void ExtractADFEvent(ADFGenericEvent* pEvent) override;

private:
    AlertTypeNameMap m_AlertTypes;
};
