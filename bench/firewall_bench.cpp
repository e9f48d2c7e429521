// Packet checks of one slave's firewall: the worst case walks every static
// rule of the protocol and every dynamic block without a match.

#include <benchmark/benchmark.h>

#include <cstdint>

#include "IDS/Firewall/Firewall.h"

namespace {

constexpr uint16_t kRules = 16;

FwRuleTable MakeTable(uint32_t dwPort) {
    FwRuleTable table;
    table.Resize(kRules);
    for (uint16_t i = 0; i < kRules; ++i) {
        fwrule& rule = table.rules[i];
        rule.eventID = 1000 + i;
        rule.dport = dwPort;
        rule.numIPs = kFwMaxAddresses;
        for (uint16_t s = 0; s < kFwMaxAddresses; ++s) {
            rule.ip[s] = {0x0A000000u | (uint32_t{i} << 8) | s, 0xFFFFFFFFu};
        }
    }
    return table;
}

class FirewallFixture {
public:
    FirewallFixture() {
        CFirewall::ResetSharedState();
        m_Firewall.SetIPRules(MakeTable(0));
        m_Firewall.SetTCPRules(MakeTable(0));
        CFirewall setter;
        for (uint32_t i = 1; i <= CFirewall::kDynamicRules; ++i) {
            setter.SetDynamicRule(0xC6336400u | i, 3600);
        }
    }
    CFirewall m_Firewall;
};

void BM_TcpCheckUnmatched(benchmark::State& state) {
    FirewallFixture fixture;
    const fwrule* pRule = nullptr;
    uint32_t dwAddress = 0xCB007100u;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fixture.m_Firewall.IsBlockTCPPacket(dwAddress++ & 0xCB0071FFu, 80, pRule));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TcpCheckUnmatched);

void BM_IpCheckUnmatched(benchmark::State& state) {
    FirewallFixture fixture;
    const fwrule* pRule = nullptr;
    uint32_t dwAddress = 0xCB007100u;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fixture.m_Firewall.IsBlockIPPacket(dwAddress++ & 0xCB0071FFu, pRule));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IpCheckUnmatched);

void BM_IpCheckDynamicHit(benchmark::State& state) {
    FirewallFixture fixture;
    const fwrule* pRule = nullptr;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fixture.m_Firewall.IsBlockIPPacket(0xC6336400u | 50, pRule));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IpCheckDynamicHit);

}  // namespace

BENCHMARK_MAIN();
