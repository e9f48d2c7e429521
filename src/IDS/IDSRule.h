#pragma once
// A rule of the network engine: an IDS signature rule (matched by the
// attack-signature module by name) or a Bastion firewall rule (turned into
// the static firewall tables).  Both carry the repeat filter through which
// every match of the rule runs before it becomes an alert.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Common/InputBounds.h"
#include "Common/Rule.h"

// Rule kinds.
enum : uint32_t {
    kIDSRuleBastion = 1,
    kIDSRuleSignature = 2,
};

// Bastion protocol types.
enum : uint32_t {
    kBastionIP = 1,
    kBastionTCP = 3,
    kBastionUDP = 5,
    kBastionICMP = 7,
};

class CIDSRule : public Rule {
public:
    static constexpr uint32_t kParameterWords = 32;
    // Distinct packets the repeat filter remembers; the oldest is forgotten
    // first, so hostile traffic cannot grow the history without bound, and
    // each one forgotten is counted as the filter's bound.
    static constexpr size_t kMaxHistory = 1024;

    // One remembered packet of the repeat filter.  Clones share entries.
    struct FilterHistory {
        uint32_t srcAddress = 0;
        uint32_t dstAddress = 0;
        uint32_t srcPort = 0;
        uint32_t dstPort = 0;
        uint32_t count = 0;
        uint32_t firstTime = 0;
    };

    // The repeat-filter settings, in the order the readers list them.
    struct FilterSettings {
        uint32_t UseEngineDefault = 0;
        uint32_t UseDestAddress = 0;
        uint32_t UseSourceAddress = 0;
        uint32_t UseDestPort = 0;
        uint32_t UseSourcePort = 0;
        uint32_t FloodProtection = 0;
        uint32_t IgnoreInterval = 0;
        uint32_t NoiseThreshold = 0;
        uint32_t OwnFilter = 0;
    };

    CIDSRule();
    CIDSRule(const CIDSRule& source);
    ~CIDSRule() override;

    using Rule::operator=;
    // A copy of its own class; unlike assignment it carries the TValue list,
    // which holds the rule's module parameters.
    Rule* Clone() const override;
    bool IsRule() const override { return true; }
    // Copies everything of the IDS rule but the TValue list and the two
    // unused members; the filter history is shared with the source.
    virtual CIDSRule& operator=(const CIDSRule& source);

    // The repeat filter for one match: `filtered` drops the match as a
    // repeat, `nonfiltered` marks it as below the noise threshold or part of
    // a flood.  Safe to call from several slave threads at once.
    void Filter(uint32_t dwSrc, uint32_t dwDst, uint32_t dwSrcPort, uint32_t dwDstPort,
                bool& bFiltered, bool& bNonFiltered);

    uint32_t m_dwEventId = 0;
    uint32_t m_dwRuleKind = 0;
    uint32_t m_dwUnused = 0;
    uint32_t m_dwProtocolType = 0;
    uint16_t m_wPort = 0;
    uint16_t m_wAllow = 0;
    uint16_t m_wReportOnly = 0;
    uint16_t m_wUnused = 0;
    std::string m_strAddresses;
    std::vector<std::string> m_UnusedList;
    std::string m_strUnused;
    // [0] is the dynamic-block flag.
    uint32_t m_dwParameters[kParameterWords] = {};
    FilterSettings m_Filter;
    std::string m_strPolicyPath;
    std::string m_strShortName;
    int32_t m_nTID = -1;
    std::vector<std::string> m_TValues;

    size_t HistorySize() const;

private:
    void CopyOwnFields(const CIDSRule& source);
    // Filter under the filter lock; `bForgot` when the oldest remembered
    // packet was forgotten to make room.
    void FilterLocked(uint32_t dwSrc, uint32_t dwDst, uint32_t dwSrcPort, uint32_t dwDstPort,
                      bool& bFiltered, bool& bNonFiltered, bool& bForgot);

    std::vector<std::shared_ptr<FilterHistory>> m_History;
    mutable std::mutex m_FilterLock;
    // The filter's bound, once a packet was forgotten for it.
    InputBoundHandle m_FilterBound;
};
