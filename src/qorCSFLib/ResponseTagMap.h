#pragma once
// What the e-mail and user-specified formatters share: the placeholder tags
// and their table of values, the event field names they read, the priority
// word and the two ways of putting tag values into a template.
//
// A tag is registered when it is a key of the map.  Keys compare byte by
// byte, so a tag that is a prefix of another sorts first and substitution
// order is the same on every platform.

#include <cstdint>
#include <map>
#include <string>

class ICSFAlertEvent;
class IEventData;
class QgGenericEvent;
struct EventAVP;

using ResponseTagMap = std::map<std::string, std::string>;

namespace ResponseTag {
// The value a constructor registers its tags with, and what the e-mail
// template shows for an empty value.
inline constexpr char kNotAvailable[] = "N/A";

inline constexpr char kSensorName[] = "<SensorName>";
inline constexpr char kSensorIPAddress[] = "<SensorIPAddress>";
inline constexpr char kAlertName[] = "<AlertName>";
inline constexpr char kAlertType[] = "<AlertType>";
inline constexpr char kAlertDateTime[] = "<AlertDateTime>";
inline constexpr char kPriority[] = "<Priority>";
inline constexpr char kAction[] = "<Action>";
inline constexpr char kOtherParameters[] = "<OtherParameters>";
inline constexpr char kProtocol[] = "<Protocol>";
inline constexpr char kProtocolName[] = "<ProtocolName>";
inline constexpr char kICMPType[] = "<ICMPType>";
inline constexpr char kICMPCode[] = "<ICMPCode>";
inline constexpr char kSourcePortName[] = "<SourcePortName>";
inline constexpr char kSourcePort[] = "<SourcePort>";
inline constexpr char kSourceIPAddress[] = "<SourceIPAddress>";
inline constexpr char kSourceMACAddress[] = "<SourceMACAddress>";
inline constexpr char kDestinationPortName[] = "<DestinationPortName>";
inline constexpr char kDestinationPort[] = "<DestinationPort>";
inline constexpr char kDestinationIPAddress[] = "<DestinationIPAddress>";
inline constexpr char kDestinationMACAddress[] = "<DestinationMACAddress>";
inline constexpr char kAttackSuccessful[] = "<AttackSuccessful>";
inline constexpr char kApplication[] = "<Application>";
inline constexpr char kAttackOrigin[] = "<AttackOrigin>";
inline constexpr char kResourceID[] = "<ResourceID>";
inline constexpr char kResourceSubID[] = "<ResourceSubID>";
inline constexpr char kSystemAgent[] = "<SystemAgent>";
inline constexpr char kUserName[] = "<UserName>";
inline constexpr char kMeldVulnStatus[] = "<MeldVulnStatus>";

// The user-specified formatter's own: a copy of the alert name and short
// aliases of the address and port tags.
inline constexpr char kEvent[] = "<event>";
inline constexpr char kSrcAddr[] = "<srcaddr>";
inline constexpr char kSrcPort[] = "<srcport>";
inline constexpr char kDestAddr[] = "<destaddr>";
inline constexpr char kDestPort[] = "<destport>";

// The four tags both common formatters register.
inline constexpr const char* kCommonTags[] = {kAlertName, kAlertDateTime, kAction,
                                              kOtherParameters};

// The 21 tags the sensor's formatters register on top of the common ones.
inline constexpr const char* kDerivedTags[] = {
    kAlertType,        kProtocol,         kProtocolName,        kICMPType,
    kICMPCode,         kSourcePortName,   kSourcePort,          kSourceIPAddress,
    kSourceMACAddress, kDestinationPortName, kDestinationPort,  kDestinationIPAddress,
    kDestinationMACAddress, kAttackSuccessful, kApplication,    kAttackOrigin,
    kResourceID,       kResourceSubID,    kSystemAgent,         kUserName,
    kMeldVulnStatus,
};
}  // namespace ResponseTag

// The names under which alert events carry the values the formatters read.
namespace EventField {
inline constexpr char kAlertName[] = "AlertName";
inline constexpr char kAlertType[] = "AlertType";
inline constexpr char kAlertDateTime[] = "AlertDateTime";
inline constexpr char kAlertPriority[] = "AlertPriority";
inline constexpr char kResponseList[] = "ResponseList";
inline constexpr char kSensorName[] = "SensorName";
inline constexpr char kSensorAddress[] = "SensorAddress";
inline constexpr char kProductID[] = "ProductID";
inline constexpr char kSourceAddress[] = "SourceAddress";
inline constexpr char kSourceEthernetAddress[] = "SourceEthernetAddress";
inline constexpr char kSourcePort[] = "SourcePort";
inline constexpr char kSourcePortName[] = "SourcePortName";
inline constexpr char kDestinationAddress[] = "DestinationAddress";
inline constexpr char kDestinationEthernetAddress[] = "DestinationEthernetAddress";
inline constexpr char kDestinationPort[] = "DestinationPort";
inline constexpr char kDestinationPortName[] = "DestinationPortName";
inline constexpr char kICMPType[] = "ICMPType";
inline constexpr char kICMPCode[] = "ICMPCode";
inline constexpr char kIANAProtocolId[] = "IANAProtocolId";
inline constexpr char kAttackSuccessful[] = "AttackSuccessful";
inline constexpr char kApplication[] = "Application";
inline constexpr char kAttackOrigin[] = "AttackOrigin";
inline constexpr char kResourceID[] = "ResourceID";
inline constexpr char kResourceSubID[] = "ResourceSubID";
inline constexpr char kSystemAgent[] = "SystemAgent";
inline constexpr char kUserName[] = "UserName";
inline constexpr char kUserNameSpaced[] = "User Name";

// Sections of an event as the formatters read them.
inline constexpr uint32_t kHeaderSection = 0;
inline constexpr uint32_t kAlertSection = 1;
inline constexpr uint32_t kParameterSection = 2;
}  // namespace EventField

// Registers each tag of the list with "N/A".
template <size_t N>
void RegisterResponseTags(ResponseTagMap& tags, const char* const (&list)[N]) {
    for (const char* tag : list) {
        tags[tag] = ResponseTag::kNotAvailable;
    }
}

// Whether a field name is one of a list (exact, case-sensitive).
template <size_t N>
bool NameIsOneOf(const std::string& name, const char* const (&list)[N]) {
    for (const char* pszEntry : list) {
        if (name == pszEntry) {
            return true;
        }
    }
    return false;
}

// "high", "medium", "low" for 1, 2, 3; "unknown" for anything else.
const char* ResponsePriorityText(int32_t nPriority);

// "<SensorName>" and "<SensorIPAddress>" from the current sensor ("" for
// both while there is none).
void AssignSensorTags(ResponseTagMap& tags);

// The event's priority; 0 (which has no priority word) when the event
// cannot give one.  Never raises: a formatter is called across the plug-in
// boundary, where an exception must not travel.
int32_t ReadEventPriority(ICSFAlertEvent& event) noexcept;

// How each further parameter is written into "<OtherParameters>": the
// prefix, the name, ": ", the value and the suffix.  With `bOneLine` a line
// break inside the name or value is written as a blank: the mail lists one
// parameter a line, and a value is whoever sent it's choice (a user name in
// a datagram), so it must not start lines of its own.
struct ParameterPieceStyle {
    const char* pszPrefix;
    const char* pszSuffix;
    bool bOneLine = false;
};
inline constexpr ParameterPieceStyle kMailPieceStyle{"\t\t", "\n", true};
inline constexpr ParameterPieceStyle kParameterLinePieceStyle{" ", ";"};

// Writes each carriage return and line feed of `text` as a blank.
void KeepOnOneLine(std::string& text);

void AppendParameterPiece(std::string& text, const std::string& name, const std::string& value,
                          const ParameterPieceStyle& style);

// What both common formatters read of an event of the first form: the
// alert name (also into `pszNameCopyTag` when given), the alert time, the
// actions and the further parameters of section 2.  The priority word is
// the caller's.
void ReadCommonEventTags(ResponseTagMap& tags, const IEventData& event,
                         const ParameterPieceStyle& style, const char* pszNameCopyTag);

// The same for an event of the legacy form: the alert name and time are
// always assigned, the actions are the response mask as "0x%x", and the
// further parameters are the event's pairs (unnamed ones skipped) whenever
// it has any.
void ReadCommonLegacyTags(ResponseTagMap& tags, const QgGenericEvent& event,
                          const ParameterPieceStyle& style, const char* pszNameCopyTag);

// The attribute of that name in that section, or null.  A header value the
// event never set counts as absent.
const EventAVP* FindEventValue(const IEventData& event, const char* pszName, uint32_t dwSection);

// The e-mail substitution: a copy of the template with every occurrence of
// each registered tag replaced by its value ("N/A" for an empty one), tags
// taken in key order.  Each tag's search starts from the beginning of the
// text, so a tag standing in a value inserted earlier is replaced in its own
// turn; within one tag the search goes on after the text just inserted, so
// a value holding its own tag cannot make it run forever.
void ReplaceResponseTags(const ResponseTagMap& tags, const char* pszTemplate, std::string& out);

// The user-specified substitution: the template split at blanks; a word
// that is a registered tag becomes its value between double quotes, any
// other word stays as written, and every word is followed by one blank.
// Inside the quotes a double quote is escaped with a backslash, as is every
// backslash of a run that meets a double quote or the closing one, and
// carriage returns, line feeds and NULs become blanks, so alert text can
// neither close the quotes nor start a new line: a host that splits the
// line by the usual rules (plat::SplitCommandLine) hands the program each
// value as exactly one argument.
void BuildParameterLine(const ResponseTagMap& tags, const char* pszTemplate, std::string& out);
