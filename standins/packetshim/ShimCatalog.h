#pragma once
// The adapters the packet shim offers: every network interface of the
// machine ("\Device\<interface>") and one replay adapter per capture file
// named in HW_PACKET_REPLAY ("\Device\replay<n>", files separated by ";";
// absolute paths of classic pcap files of Ethernet frames, others are
// refused when the adapter is opened).
//
// Other settings, read from the environment when the list is made:
//   HW_PACKET_MONITOR       interfaces to mark for monitoring (names joined
//                           by ","); by default every interface that is up,
//                           except loopback, and every replay adapter
//   HW_PACKET_REPLAY_OUT    folder for the replay adapters' pass, drop and
//                           inject capture files
//   HW_PACKET_REPLAY_LOOP   "1": a replay starts again at the end of its file
//   HW_PACKET_REPLAY_FILETIME  "1": replay time stamps in 100-ns units since 1601
//   HW_PACKET_REPLAY_PACE   "1": frames come at the pace of their time stamps

#include <string>
#include <vector>

#include "ReplayAdapter.h"
#include "ShimAdapter.h"

namespace shim {

std::vector<AdapterFacts> ListAdapters();
ReplayOptions ReplaySettings();

// Finds an adapter by "\Device\<name>" or by the bare name, without regard to case.
bool FindAdapter(const std::string& name, AdapterFacts& facts);

// Writes the facts into a driver-library adapter record, keeping the
// shim's own bytes (the open handle) when the record already names this
// adapter.
void FillEntry(rp::PacketAdapterEntry* entry, const AdapterFacts& facts);

}  // namespace shim
