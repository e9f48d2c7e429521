#pragma once
// The statuses the packet shim answers, in the packet library's numbering.

#include <cstdint>

#include "rawpacket/RpErrors.h"

namespace shim {

constexpr uint32_t kNothingRead = rp::kDllNothingRead;
constexpr uint32_t kInvalidParameter = rp::kDllInvalidParameter;
constexpr uint32_t kAdapterNotFound = rp::kDllAdapterNotFound;
constexpr uint32_t kNotOpen = rp::kDllNotOpen;
constexpr uint32_t kSystemError = rp::kDllSystemError;
constexpr uint32_t kNotSupported = rp::kDllNotSupported;
constexpr uint32_t kNoFrame = rp::kDllNoFrame;
constexpr uint32_t kAlreadyInitialised = rp::kDllAlreadyInitialised;
constexpr uint32_t kTransmitOpen = rp::kDllTransmitOpen;
constexpr uint32_t kReceiveExists = rp::kDllReceiveExists;
constexpr uint32_t kAdapterNotice = rp::kDllAdapterNotice;

}  // namespace shim
