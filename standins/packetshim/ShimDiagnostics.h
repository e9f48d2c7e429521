#pragma once
// What the packet shim lets its own tests see beyond the library's entry
// points: the value each parameter was last set to.  A test may also make
// PacketGetAdapterList fail with a status of its choice by setting
// HW_PACKET_LIST_ERROR (for instance "0xE0001001").

namespace shim {

// const char* (name): the parameter's last value, or null when never set.
// The text stays valid until the parameter is set again.
using ShimParameterFn = const char* (*)(const char* name);
constexpr const char kShimParameterName[] = "PacketShimParameter";

}  // namespace shim
