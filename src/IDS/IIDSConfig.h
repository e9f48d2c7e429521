#pragma once
// The process-wide IDS configuration as the engines and the host see it.
// The class factory hands out the one CIDSConfig under CLSID_IDSConfig; the
// IDS master engine configures and resets it, the host hands in its block
// responses, and the web-server engine follows its network-monitoring
// switch.

#include <cstdint>
#include <map>
#include <string>

class RuleContainer;

// A block response of the host's common policy.
struct BlockResponseInfo {
    // "a.b.c.d[/n],..."
    std::string addresses;
    uint16_t allow = 0;

    bool operator==(const BlockResponseInfo& other) const = default;
};

// Block choice name to its response.
using BlockResponseMap = std::map<std::string, BlockResponseInfo>;

class IIDSConfig {
public:
    // Builds the tables from the engine's rules; a second call before Reset
    // changes nothing.  Answers 0.
    virtual int32_t Configure(RuleContainer* pRules) = 0;
    // Back to unconfigured, with empty tables.  Answers 0.
    virtual int32_t Reset() = 0;
    // Takes the host's block responses; the answer carries no meaning.
    virtual int32_t SetBlockResponseMap(const BlockResponseMap& blockMap) = 0;
    // The network-monitoring switch; on when the configuration is made.
    virtual bool SetIDSEnabled(bool bEnabled) = 0;
    virtual bool IsIDSEnabled() = 0;
    virtual bool GetAllowAllAcknowledgementPackets() = 0;
    // True while block address lists are being replaced.
    virtual bool IsUpdatingBlockInfo() = 0;
    virtual ~IIDSConfig() = default;
};

// The interface's operations, left to the configuration class.
class CIDSConfigDummy : public IIDSConfig {
public:
    ~CIDSConfigDummy() override = default;
};

// What the configuration needs of the IDS master engine: a block-map change
// after start-up rebuilds the engine's configuration through these two.
class IIDSMasterEngine {
public:
    virtual int32_t Initialize() = 0;
    virtual void Shutdown() = 0;

protected:
    ~IIDSMasterEngine() = default;
};
