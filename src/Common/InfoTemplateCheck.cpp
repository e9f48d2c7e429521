#include "Common/InfoTemplateCheck.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr std::string_view kMarker = "{!}";
constexpr std::string_view kOpening = "{!";
constexpr char kUnclosedTemplate[] =
    "has \"{!\" without its closing \"}\", which is then no marker: the value is the template as it stands";

std::string Quoted(std::string_view sv) {
    return "\"" + std::string(sv) + "\"";
}

// "@" and a name (a letter, then letters, digits and "_"): what a marker
// looks like, and what no literal value is likely to be.
bool LooksLikeMarker(std::string_view sv) {
    if (sv.size() < 2 || sv[0] != '@' || std::isalpha(static_cast<unsigned char>(sv[1])) == 0) {
        return false;
    }
    for (size_t i = 2; i < sv.size(); ++i) {
        const auto c = static_cast<unsigned char>(sv[i]);
        if (std::isalnum(c) == 0 && c != '_') {
            return false;
        }
    }
    return true;
}

std::string MarkerList(const InfoTemplateMarkers& markers) {
    std::vector<std::string> names;
    for (const InfoTemplateMarkers::Numbered& numbered : markers.m_Numbered) {
        if (numbered.m_bNumberOnlyAfterDigit) {
            names.emplace_back(numbered.m_pszName);
        }
        names.push_back(std::string(numbered.m_pszName) + "<n>");
    }
    for (const char* pszName : markers.m_Whole) {
        names.emplace_back(pszName);
    }
    std::string strList;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            strList += i + 1 == names.size() ? " and " : ", ";
        }
        strList += names[i];
    }
    return strList;
}

std::string NoMarker(const InfoTemplateMarkers& markers) {
    return std::string("is no marker of ") + markers.m_pszRuleKind + ", whose markers are " + MarkerList(markers) +
           ": the value is the template as it stands";
}

// A template that begins with a numbered marker's name, read as the engine
// reads it: the number as atoi reads it, cut to 32 bits.
std::string CheckNumbered(const InfoTemplateMarkers& markers, const InfoTemplateMarkers::Numbered& numbered,
                          std::string_view svTemplate) {
    const std::string strName = numbered.m_pszName;
    const std::string strRest(svTemplate.substr(strName.size()));
    if (numbered.m_bNumberOnlyAfterDigit) {
        if (strRest.empty()) {
            return std::string();
        }
        if (std::isdigit(static_cast<unsigned char>(strRest[0])) == 0) {
            return NoMarker(markers);
        }
    }
    const char* pszStart = strRest.c_str();
    char* pszEnd = nullptr;
    const long long llRead = std::strtoll(pszStart, &pszEnd, 10);
    if (pszEnd == pszStart) {
        return "has no number after " + Quoted(strName) + ": it is read as " + Quoted(strName + "0");
    }
    const long long llNumber = llRead > INT32_MAX ? INT32_MAX : llRead < INT32_MIN ? INT32_MIN : llRead;
    const std::string strCounted = std::string(numbered.m_pszCounted) + " " + std::to_string(llNumber);
    if (llNumber < 0) {
        return numbered.m_bBelowZeroIsFirst
                   ? "is read as " + Quoted(strName + "0") + ": a " + numbered.m_pszCounted +
                         " number below 0 gives the first " + numbered.m_pszCounted
                   : "names " + strCounted + ", below the first (0): the value is always empty";
    }
    if (llNumber > numbered.m_nLast) {
        return "names " + strCounted + ", past the last one " + markers.m_pszRuleKind + " can see (" +
               numbered.m_pszCounted + " " + std::to_string(numbered.m_nLast) + numbered.m_strLastWhy +
               "): the value is always empty";
    }
    if (*pszEnd != '\0') {
        return "is read as " + Quoted(strName + std::to_string(llNumber)) + ": the text after the number (" +
               Quoted(pszEnd) + ") is not read";
    }
    return std::string();
}

// Where in the template a finding about one alternative lies: nowhere to
// say when the template is that one alternative.
std::string InAlternative(std::string_view svAlternative, bool bOnly) {
    return bOnly ? std::string() : " in the alternative " + Quoted(svAlternative);
}

bool HasUnclosedOpening(std::string_view svAlternative) {
    for (size_t n = svAlternative.find(kOpening); n != std::string_view::npos;
         n = svAlternative.find(kOpening, n + 1)) {
        if (n + kOpening.size() >= svAlternative.size() || svAlternative[n + kOpening.size()] != '}') {
            return true;
        }
    }
    return false;
}

// Whether a "*" of the prefix (the alternative before `nMarker`) stands
// just before the marker: a "*" takes the character after it as the one it
// skips to, which is then the marker's "{".
bool StarBeforeMarker(std::string_view svAlternative, size_t nMarker) {
    for (size_t n = 0; n < nMarker; ++n) {
        if (svAlternative[n] == '*') {
            if (n + 1 == nMarker) {
                return true;
            }
            ++n;
        }
    }
    return false;
}

// One alternative of a template resolved as alternatives.
void CheckAlternative(std::string_view svAlternative, bool bOnly, std::vector<std::string>& findings) {
    const std::string strWhere = InAlternative(svAlternative, bOnly);
    const size_t nMarker = svAlternative.find(kMarker);
    if (!bOnly && LooksLikeMarker(svAlternative)) {
        findings.push_back("has the alternative " + Quoted(svAlternative) +
                           ", which is no marker but text: a marker is read only as the whole template");
    }
    if (HasUnclosedOpening(svAlternative)) {
        if (nMarker != std::string_view::npos) {
            findings.push_back("has \"{!\" without its closing \"}\"" + strWhere +
                               ", which is then no marker but text the input must hold");
        } else if (bOnly) {
            findings.push_back(kUnclosedTemplate);
        } else {
            findings.push_back("has \"{!\" without its closing \"}\"" + strWhere +
                               ", which is then no marker: that alternative is a value as it stands");
        }
    }
    if (nMarker == std::string_view::npos) {
        return;
    }
    const std::string_view svSuffix = svAlternative.substr(nMarker + kMarker.size());
    if (svSuffix.find(kMarker) != std::string_view::npos) {
        findings.push_back("has a second \"{!}\"" + strWhere +
                           ": only the first is a marker, so the value runs on to the end of the text unless "
                           "the text holds " + Quoted(svSuffix) + " as it stands");
    }
    if (StarBeforeMarker(svAlternative, nMarker)) {
        findings.push_back("has \"*\" just before \"{!}\"" + strWhere +
                           ": the \"*\" skips up to the first \"{\" of the text, not up to the value");
    }
}

// A template resolved as alternatives separated by "|": the first without
// "{!}" is the value, and ends the resolving.
void CheckAlternatives(std::string_view svTemplate, std::vector<std::string>& findings) {
    const bool bOnly = svTemplate.find('|') == std::string_view::npos;
    bool bDeadSaid = false;
    size_t nFrom = 0;
    for (size_t nIndex = 0;; ++nIndex) {
        const size_t nBar = svTemplate.find('|', nFrom);
        const std::string_view svAlternative =
            svTemplate.substr(nFrom, nBar == std::string_view::npos ? std::string_view::npos : nBar - nFrom);
        CheckAlternative(svAlternative, bOnly, findings);
        if (nBar == std::string_view::npos) {
            return;
        }
        nFrom = nBar + 1;
        const std::string_view svRest = svTemplate.substr(nFrom);
        // What follows only matters when it could give something: an empty
        // last alternative ("user={!} |") is the usual way to keep blanks.
        if (!bDeadSaid && svAlternative.find(kMarker) == std::string_view::npos &&
            svRest.find_first_not_of('|') != std::string_view::npos) {
            findings.push_back("never tries " + Quoted(svRest) + ": " +
                               (nIndex == 0 ? "its first alternative " + Quoted(svAlternative) +
                                                  " has no \"{!}\" and is always the value"
                                            : "the alternative " + Quoted(svAlternative) +
                                                  " before it has no \"{!}\" and is the value whenever those "
                                                  "before it find nothing"));
            bDeadSaid = true;
        }
    }
}

}  // namespace

std::vector<std::string> CheckInfoTemplate(const InfoTemplateMarkers& markers, std::string_view svTemplate) {
    std::vector<std::string> findings;
    for (const char* pszWhole : markers.m_Whole) {
        if (svTemplate == pszWhole) {
            return findings;
        }
    }
    for (const InfoTemplateMarkers::Numbered& numbered : markers.m_Numbered) {
        if (svTemplate.substr(0, std::string_view(numbered.m_pszName).size()) == numbered.m_pszName) {
            std::string strFinding = CheckNumbered(markers, numbered, svTemplate);
            if (!strFinding.empty()) {
                findings.push_back(std::move(strFinding));
            }
            return findings;
        }
    }
    if (LooksLikeMarker(svTemplate)) {
        findings.push_back(NoMarker(markers));
        return findings;
    }
    if (markers.m_bPlainWithoutMarker && svTemplate.find(kMarker) == std::string_view::npos) {
        if (HasUnclosedOpening(svTemplate)) {
            findings.push_back(kUnclosedTemplate);
        }
        return findings;
    }
    CheckAlternatives(svTemplate, findings);
    return findings;
}
