#pragma once
// Status codes of the event library (facility 0x739).  The names are the
// texts an event operation raises with.

#include "qorToolsLib/qorStatus.h"

// Event filter.
constexpr StatusCode EVL_FILTER_NOT_VALID = 0xC7390001u;
constexpr StatusCode EVL_FILTER_TYPE_MISMATCH = 0xC7390002u;
constexpr StatusCode EVL_FILTER_BAD_DATE_RANGE = 0xC7390003u;
constexpr StatusCode EVL_FILTER_NO_ENTRY = 0xC7390004u;
// Event object.
constexpr StatusCode EVL_ALERT_ID_NOT_SET = 0xC7390005u;
constexpr StatusCode EVL_ALERT_ID_ALREADY_SET = 0xC7390006u;
constexpr StatusCode EVL_ALERT_INTEGRITY_FAILED = 0xC7390007u;
constexpr StatusCode EVL_ALERT_OFFSET_NOT_VALID = 0xC7390008u;
constexpr StatusCode EVL_ALERT_ILLEGAL_RESET = 0xC7390009u;
constexpr StatusCode EVL_ALERT_ILLEGAL_SECTION = 0xC739000Au;
constexpr StatusCode EVL_ALERT_INVALID_ITERATOR = 0xC739000Bu;
constexpr StatusCode EVL_ALERT_ILLEGAL_ITERATOR = 0xC739000Cu;
constexpr StatusCode EVL_ALERT_UNSUPPORTED_TYPE = 0xC739000Du;
constexpr StatusCode EVL_ALERT_UNSUPPORTED_SECTION = 0xC739000Eu;
constexpr StatusCode EVL_ALERT_HEADER_INCOMPLETE = 0xC739000Fu;
constexpr StatusCode EVL_ALERT_INVALID_REQUIRED_PARAMETER = 0xC7390010u;
constexpr StatusCode EVL_ALERT_INVALID_OTHER_PARAMETER = 0xC7390011u;
constexpr StatusCode EVL_ALERT_INVALID_UPDATED_AVP = 0xC7390012u;
// Alert values.
constexpr StatusCode EVL_VALUE_NOT_SET = 0xC7390013u;
constexpr StatusCode EVL_VALUE_NO_STREAM_FORM = 0xC7390014u;
constexpr StatusCode EVL_ALERT_ILLEGAL_UPDATE = 0xC7390025u;
constexpr StatusCode EVL_ALERT_RESERVED = 0xC7390026u;
constexpr StatusCode EVL_ALERT_XML_BAD_DATETIME_VALUE = 0xC7390036u;

// The tool library's status for an empty name handed to a lookup.
constexpr StatusCode CMNERR_INTERNAL_ERROR = QOR_E_WRONG_STATE;
