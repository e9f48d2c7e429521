// Encoding and decoding a typical alert event: the fourteen header values
// and 25 attributes in three sections (5 sensor parameters, 17 alert
// parameters, 3 updated parameters), as the host receives it.  Reports
// events per second each way.
//
//   BM_EncodeNewAlert      build an alert (sections 1 and 2), compute its
//                          digest and serialise it: the sensor's path per alert
//   BM_EncodeUpdatedAlert  serialise a frozen alert whose 3 updates fill
//                          section 3 (all 25 attributes)
//   BM_DecodeAlert         load the 25-attribute stream into a new event
//   BM_DecodeAndValidate   the same, then check its digest

#include <benchmark/benchmark.h>

#include <string>
#include <utility>
#include <vector>

#include "qorEventLib/CQorEvent.h"
#include "qorToolsLib/qorStreamBufferOwner.h"

namespace {

using Attribute = std::pair<std::string, AlertValue>;

std::vector<Attribute> SensorParameters() {
    return {
        {"Message", AlertValue::String("Failed password for invalid user admin from 203.0.113.9 port 52211 ssh2")},
        {"Code", AlertValue::String("4625")},
        {"algorithm-id", AlertValue::Uint32(12)},
        {"ResponseList", AlertValue::String("Mail,SNMP,Block")},
        {"RuleName", AlertValue::String("SSH brute force")},
    };
}

std::vector<Attribute> AlertParameters() {
    return {
        {":SourceIP", AlertValue::String("203.0.113.9")},
        {":SourcePort", AlertValue::Uint16(52211)},
        {":DestinationIP", AlertValue::String("192.0.2.7")},
        {":DestinationPort", AlertValue::Uint16(22)},
        {":Protocol", AlertValue::Uint8(6)},
        {":UserName", AlertValue::String("admin")},
        {":Domain", AlertValue::String("WORKGROUP")},
        {":Process", AlertValue::String("/usr/sbin/sshd")},
        {":ProcessId", AlertValue::Uint32(31337)},
        {":LogonType", AlertValue::Integer(3)},
        {":Workstation", AlertValue::String("scanner-17")},
        {":EventID", AlertValue::Uint32(4625)},
        {":Category", AlertValue::String("Logon/Logoff")},
        {":Computer", AlertValue::String("web-frontend-02.example.net")},
        {":TargetFile", AlertValue::String("/var/log/auth.log")},
        {":FirstSeen", AlertValue::Date(1700000000)},
        {":Signature", AlertValue::Blob("\x3a\x91\x00\x7f\xee\x10\x42\x99", 8)},
    };
}

void BuildAlert(CQorEvent& event, const std::vector<Attribute>& sensor,
                const std::vector<Attribute>& alert, uint32_t sequence) {
    event.SetHeaderValue(kAlertFormatVersion, AlertValue::Uint32(85));
    event.SetHeaderValue(kAlertNameType, AlertValue::Uint8(1));
    event.SetHeaderValue(kAlertName, AlertValue::String("UserAbnormalActivity"));
    event.SetHeaderValue(kAlertDateTime, AlertValue::Date(1700000000 + sequence));
    event.SetHeaderValue(kLocalTimezoneOffset, AlertValue::Integer(-3600));
    event.SetHeaderValue(kAlertTimePrecision, AlertValue::Uint32(250000000));
    event.SetHeaderValue(kAlertTimeSequenceID, AlertValue::Uint32(sequence));
    event.SetHeaderValue(kAlertID, AlertValue::Blob(nullptr, CQorEvent::kAlertIdSize));
    event.SetHeaderValue(kSensorAddress, AlertValue::String("192.0.2.7"));
    event.SetHeaderValue(kSensorName, AlertValue::String("web-frontend-02"));
    event.SetHeaderValue(kProductID, AlertValue::Uint32(3));
    event.SetHeaderValue(kAlertType, AlertValue::Uint32(205));
    event.SetHeaderValue(kAlertPriority, AlertValue::Uint32(2));
    event.SetHeaderValue(kAlertFlags, AlertValue::Uint32(0));
    for (const Attribute& attribute : sensor) {
        event.Add(attribute.first, attribute.second, 1);
    }
    for (const Attribute& attribute : alert) {
        event.Add(attribute.first, attribute.second, 2);
    }
}

// The frozen 25-attribute alert: serialised once, then three values
// updated, so section 3 holds their first values.
void BuildUpdatedAlert(CQorEvent& event) {
    BuildAlert(event, SensorParameters(), AlertParameters(), 0);
    qorStreamBufferOwner owner(true);
    event.Serialize(nullptr, owner);
    event.Update(":UserName", AlertValue::String("root"), 2);
    event.Update(":EventID", AlertValue::Uint32(4624), 2);
    event.Update("ResponseList", AlertValue::String("Mail"), 1);
}

// Serialises the event into a new owner, as the host asks for it.
bool Serialise(benchmark::State& state, CQorEvent& event, size_t& bytes) {
    qorStreamBufferOwner owner(true);
    if (event.Serialize(nullptr, owner) != QOR_S_OK) {
        state.SkipWithError("serialisation failed");
        return false;
    }
    bytes = owner.GetLength();
    benchmark::DoNotOptimize(owner.GetData());
    return true;
}

void Report(benchmark::State& state, size_t bytes) {
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["stream_bytes"] = static_cast<double>(bytes);
}

void BM_EncodeNewAlert(benchmark::State& state) {
    const std::vector<Attribute> sensor = SensorParameters();
    const std::vector<Attribute> alert = AlertParameters();
    uint32_t sequence = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        CQorEvent event;
        BuildAlert(event, sensor, alert, ++sequence);
        if (!Serialise(state, event, bytes)) {
            break;
        }
    }
    Report(state, bytes);
}
BENCHMARK(BM_EncodeNewAlert);

void BM_EncodeUpdatedAlert(benchmark::State& state) {
    CQorEvent event;
    BuildUpdatedAlert(event);
    size_t bytes = 0;
    for (auto _ : state) {
        event.ReleaseBuffers();
        if (!Serialise(state, event, bytes)) {
            break;
        }
    }
    Report(state, bytes);
}
BENCHMARK(BM_EncodeUpdatedAlert);

void Decode(benchmark::State& state, bool validate) {
    CQorEvent source;
    BuildUpdatedAlert(source);
    qorStreamBufferOwner stream(true);
    source.Serialize(nullptr, stream);
    for (auto _ : state) {
        CQorEvent event;
        if (event.Load(stream) != QOR_S_OK || (validate && event.ValidateIntegrity() != QOR_S_OK)) {
            state.SkipWithError("decoding failed");
            break;
        }
        benchmark::DoNotOptimize(event.GetCount(2));
    }
    Report(state, stream.GetLength());
}

void BM_DecodeAlert(benchmark::State& state) { Decode(state, false); }
BENCHMARK(BM_DecodeAlert);

void BM_DecodeAndValidate(benchmark::State& state) { Decode(state, true); }
BENCHMARK(BM_DecodeAndValidate);

}  // namespace

BENCHMARK_MAIN();
