#pragma once
// What the load says of an information pair's template that cannot mean
// what it says on its rule's engine.  Each engine makes a pair's value from
// its template by its own markers (syslog "@Remote", event-log "@String0",
// ...) and, for the rest, through AgentEventInfo::ResolveInfoTemplate; a
// marker the engine does not have, a number past what its input can hold,
// or a "{!}" written so that it is no marker is taken without a word at
// alert time, so the reader says it at the load instead.  What a template
// gives at alert time is not changed by any of this.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The markers one engine resolves, as its reader describes them.
struct InfoTemplateMarkers {
    // A marker followed by a number ("@Field3"), read from the start of the
    // template: the number as atoi reads it (blanks, a sign, digits), and
    // whatever follows it is not read.
    struct Numbered {
        const char* m_pszName;     // "@Field"
        const char* m_pszCounted;  // what the number counts: "field"
        // The last number that can give a value, and where it comes from
        // ("of a message of 65505 bytes"; may be empty).
        int32_t m_nLast;
        std::string m_strLastWhy;
        // A number below 0 gives the first (fields); otherwise it gives
        // nothing (strings).
        bool m_bBelowZeroIsFirst;
        // The name alone is a marker of its own, and the name followed by
        // anything but a digit is no marker at all ("@Sid", "@Sidney").
        bool m_bNumberOnlyAfterDigit;
    };

    const char* m_pszRuleKind;  // "a syslog rule"
    std::vector<Numbered> m_Numbered;
    // Markers taken only when they are the whole template.
    std::vector<const char*> m_Whole;
    // A template without "{!}" is the value as it stands, "|" and all
    // (event logs); otherwise every template that is no marker is resolved
    // as alternatives.
    bool m_bPlainWithoutMarker = false;
};

// The last field number (from 0) a text of `nBytes` bytes can give: each
// field takes a byte, and a separator stands between two.
constexpr int32_t LastTextField(size_t nBytes) {
    return static_cast<int32_t>((nBytes + 1) / 2) - 1;
}

// What is wrong with `svTemplate` on the engine that `markers` describes:
// each finding completes the sentence "the template "T" ...".  Empty when
// the template means what it says.
std::vector<std::string> CheckInfoTemplate(const InfoTemplateMarkers& markers, std::string_view svTemplate);
