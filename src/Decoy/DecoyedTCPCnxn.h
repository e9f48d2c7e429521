#pragma once
// The TCP decoy connection: it carries the alert record of its port's rule,
// fills it with both ends when it accepts, and raises the alert.

#include <cstdint>
#include <string>

#include "Decoy/DecoyEvent.h"
#include "Decoy/DecoyedCnxn.h"

class CDecoyRule;
class CEngineDecoy;
class SpareDescriptor;

class DecoyedTCPCnxnImpl : public DecoyedCnxn {
public:
    explicit DecoyedTCPCnxnImpl(CDecoyRule* pRule);
    ~DecoyedTCPCnxnImpl() override;

    // Takes the pending connection, notes both ends in the record and holds
    // the connection for the hold time from `dwNow`.
    int32_t Accept(ListeningPort* pPort, uint32_t dwNow) override;

    const DecoyEvent& GetEvent() const { return m_Event; }

    // The spare an accept may let go when the process has no descriptor
    // left; set before Accept.
    void SetSpare(SpareDescriptor* pSpare) { m_pSpare = pSpare; }
    // Whether the accepted connection took the spare's number: it cannot be
    // held, since the spare is taken again only once it is closed.
    bool IsOnSpare() const { return m_bOnSpare; }
    // Resets the accepted connection and lets its socket go.
    void ResetNow();

    // A host looping connects decides how often an accept fails: so many
    // failures a minute are logged for the whole process, the next one
    // logged counting those left out.
    static constexpr unsigned kFailureReportsPerMinute = 20;
    // Whether the last failed Accept went unlogged under that limit, so
    // that what follows from it goes unlogged too.
    bool IsFailureLeftOut() const { return m_bFailureLeftOut; }
    // Whether the last failed Accept found no connection waiting: the end
    // of what a port held, which is no failure and is not said.
    bool FoundNoneWaiting() const { return m_bNoneWaiting; }

protected:
    DecoyEvent m_Event;

private:
    // What the accept itself tells: the peer, and the local end when the
    // socket can say.
    void NoteEndpoints(const plat::Ipv4Endpoint& peer, bool bPeerKnown);
    void FillMissingEndpoints();
    // `strShortage` says which descriptors ran out, when that was why.
    void ReportFailure(uint32_t dwError, const std::string& strShortage);

    bool m_bFailureLeftOut = false;
    bool m_bNoneWaiting = false;
    SpareDescriptor* m_pSpare = nullptr;  // not owned
    bool m_bOnSpare = false;
};

class DecoyedTCPCnxn : public DecoyedTCPCnxnImpl {
public:
    explicit DecoyedTCPCnxn(CDecoyRule* pRule);
    ~DecoyedTCPCnxn() override;

    uint32_t GetState() override { return m_dwState; }
    // Raises the alert: a copy of the record goes to the engine's responses,
    // whose answer this is; the connection keeps its own record.
    virtual uint8_t EmitEvent(CEngineDecoy* pEngine);
};
