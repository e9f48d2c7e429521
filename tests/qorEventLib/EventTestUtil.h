#pragma once
// Events and tools shared by the event library's tests.

#include <cstdint>
#include <string>
#include <vector>

#include "qorEventLib/CQorEvent.h"
#include "qorToolsLib/qorStreamBufferOwner.h"

namespace evtest {

using Bytes = std::vector<uint8_t>;

// Fills all fourteen header values; the AlertID is sixteen zero bytes.
void FillHeader(CQorEvent& event, uint32_t priority = 2);

Bytes BytesOf(const qorStreamBufferOwner& owner);
Bytes Serialized(CQorEvent& event);

// Runs a program found on PATH with `arguments` and answers its exit code
// (-1 when it could not run) and its standard output.
int RunTool(const std::vector<std::string>& arguments, std::string& output);

// The hexadecimal MD5 digest of `bytes` as the md5sum program reports it.
std::string Md5sumOf(const Bytes& bytes);
std::string Hex(const uint8_t* data, size_t size);

}  // namespace evtest
