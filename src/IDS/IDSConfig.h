#pragma once
// The one IDS configuration of the process: the ready-made tables that the
// packet side reads without touching the policy again.  One entry per
// enabled IDS rule (event name, block response, block addresses, parameter
// words), the module parameters ("zam." items), the four static firewall
// tables built from the enabled Bastion rules, and a map from event name to
// entry.
//
// Configure and Reset run on the thread that starts and stops the IDS
// engine, while its slaves are stopped; the slaves then read the tables
// without a lock.  The host may hand in new block responses while slaves
// run: address lists are then rewritten under a lock (read them through
// GetResponseIP), and when the entries themselves must be rebuilt, the new
// table, module parameters and event-name map are built aside and
// published, while the ones they replace stay whole until Reset, when no
// slave captures.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "Common/RuleContainer.h"
#include "IDS/Firewall/FireConf.h"
#include "IDS/IIDSConfig.h"
#include "qorToolsLib/jsSync.h"

class CIDSRule;
class IPolicyContainer;

// The network monitoring component's switch, set by the IDS master engine
// when it initialises.
extern std::atomic<bool> gIDSEnabled;

// Response mask bits of an entry.
enum : uint32_t {
    kIDSResponseBlockList = 0x100,
    kIDSResponseDynamicBlock = 0x200,
};

struct IDSResponseIP {
    uint16_t allow = 0;
    uint16_t num_ips = 0;
    fwaddrslot ip[kFwMaxAddresses] = {};
};

struct IDSConfigEntry {
    // The rule's TID at first; the slave replaces it with the module's
    // issue id for the event name.
    uint32_t issueId = 0;
    std::string eventName;
    uint32_t enabled = 0;
    uint32_t response = 0;
    std::string blockChoice;
    // Changes in place when the host hands in new block responses.
    IDSResponseIP response_ip;
    uint32_t parm[32] = {};
};

struct IDSConfigTable {
    bool blockEnabled = false;
    uint32_t dynamicBlockPeriod = 0;
    uint32_t numEntries = 0;
    IDSConfigEntry* entries = nullptr;
    uint32_t capacity = 0;
    std::unique_ptr<IDSConfigEntry[]> storage;
};

struct TuningParam {
    char name[128];
    char value[128];
};

// Module parameters handed to the signature module, at most 1,000.
struct TuningBlock {
    static constexpr uint32_t kMaxParams = 1000;

    uint32_t count = 0;
    TuningParam* params = records;
    TuningParam records[kMaxParams] = {};

    TuningBlock() = default;
    TuningBlock(const TuningBlock&) = delete;
    TuningBlock& operator=(const TuningBlock&) = delete;

    // Stores name and value, each cut to 127 characters; false when full.
    bool Add(const std::string& strName, const std::string& strValue);
};

class CIDSConfig : public CIDSConfigDummy {
public:
    using ConfigMap = std::map<std::string, IDSConfigEntry*>;

    // The process's configuration, made on the first call; null only when
    // it cannot be made.
    static CIDSConfig* GetInstance();

    CIDSConfig();
    ~CIDSConfig() override;
    CIDSConfig(const CIDSConfig&) = delete;
    CIDSConfig& operator=(const CIDSConfig&) = delete;

    int32_t Configure(RuleContainer* pRules) override;
    int32_t Reset() override;
    int32_t SetBlockResponseMap(const BlockResponseMap& blockMap) override;
    bool SetIDSEnabled(bool bEnabled) override;
    bool IsIDSEnabled() override;
    bool GetAllowAllAcknowledgementPackets() override;
    bool IsUpdatingBlockInfo() override;

    // The event-name map, rebuilt from the entries when asked; null when it
    // was never built.  A map handed out stays valid until Reset.
    const ConfigMap* GetConfigMap(bool bRebuild);

    // A consistent copy of an entry's block address list; false (and an
    // empty list) while no configuration holds the entry.
    bool GetResponseIP(const IDSConfigEntry& entry, IDSResponseIP& out) const;

    void SetMasterEngine(IIDSMasterEngine* pEngine) { m_pEngMA = pEngine; }

    // Read by the slaves at their set-up and by the web-server engine.
    const RuleContainer& GetBastionRules() const { return m_BastionRules; }
    const RuleContainer& GetIDSRules() const { return m_IDSRules; }
    const IDSConfigTable* GetConfigTable() const { return m_idsconf.get(); }
    const TuningBlock* GetTuningBlock() const { return m_pTuning.get(); }
    // The table of a protocol code (1, 3, 5, 7), or null.
    const fireconf* GetFireconf(uint32_t dwProtocol) const;
    uint32_t GetIDSRuleCount() const { return m_numids; }
    BlockResponseMap GetBlockResponseMap() const;

private:
    // What the entries and module parameters are made of besides the rules
    // and the block map: read from the policy when the configuration is
    // made, kept for a rebuild when the block map first arrives later.
    struct PolicyInputs {
        // "zam." items of the two tuning sections, switches as "on"/"off".
        std::vector<std::pair<std::string, std::string>> sectionParams;
        bool blockEnabled = false;
        uint32_t dynamicBlockPeriod = 0;
        // Each IDS rule's block choice, in the order of m_IDSRules.
        std::vector<std::string> choices;
    };

    int32_t SetIDSConfig();
    void ReadPolicyInputs(IPolicyContainer* pPolicy);
    // Builds the entries and module parameters from the rules, the kept
    // policy inputs and `blockMap`, and publishes them.
    int32_t BuildIDSConfig(const BlockResponseMap& blockMap);
    // The rebuild of a block map that arrives after the configuration.
    void RebuildForBlockMap(const BlockResponseMap& blockMap);
    int32_t BuildFirewallTables();
    int32_t updateIDSConfig();
    // Frees the published tables and everything retired before them.
    void FreeIDSConfig();
    void ClearRules();
    void AddTuningSection(IPolicyContainer* pPolicy, const char* pszSection);
    void AddRuleTuning(TuningBlock& tuning, const CIDSRule& rule);
    bool FillEntry(IDSConfigEntry& entry, CIDSRule& rule, const std::string& strChoice,
                   bool bBlockEnabled, const BlockResponseMap& blockMap);
    // True when `entry` lies in the published table or a retired one.
    bool IsKnownEntry(const IDSConfigEntry& entry) const;

    RuleContainer m_BastionRules;
    RuleContainer m_IDSRules;
    uint32_t m_dwTCPRules = 0;
    uint32_t m_dwUDPRules = 0;
    uint32_t m_dwIPRules = 0;
    uint32_t m_dwICMPRules = 0;
    uint32_t m_numids = 0;
    BlockResponseMap m_BlockMap;
    std::atomic<bool> m_bIDSEnabled{true};
    bool m_bAllowAllAck = false;
    bool m_bIDSInit = false;
    std::atomic<bool> m_bUpdating{false};
    std::unique_ptr<IDSConfigTable> m_idsconf;
    std::unique_ptr<TuningBlock> m_pTuning;
    std::unique_ptr<fireconf> m_fipin;
    std::unique_ptr<fireconf> m_ftcpin;
    std::unique_ptr<fireconf> m_fudpin;
    std::unique_ptr<fireconf> m_ficmpin;
    IIDSMasterEngine* m_pEngMA = nullptr;
    jsFastSync m_ConfigLock;
    std::unique_ptr<ConfigMap> m_pConfigMap;
    PolicyInputs m_Inputs;
    // Replaced while slaves may read them, freed at Reset.
    std::vector<std::unique_ptr<IDSConfigTable>> m_RetiredTables;
    std::vector<std::unique_ptr<TuningBlock>> m_RetiredTuning;
    std::vector<std::unique_ptr<ConfigMap>> m_RetiredMaps;
    // Serialises Configure, Reset and block-map changes (recursive: a map
    // change reinitialises the engine, which comes back here).
    jsFastSync m_UpdateLock;
    // Guards the block map's copy.
    mutable jsFastSync m_BlockMapLock;
    // Writers of response_ip hold it exclusively, readers shared.
    mutable std::shared_mutex m_ResponseLock;
    // Whether a block map has been taken since the process started.
    bool m_bBlockMapTaken = false;
};
