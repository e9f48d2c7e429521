#pragma once
// Result codes at the boundary between the plug-in and its host.  They are
// 32-bit words so that a host written against any toolchain reads them the
// same way; 0 is success and every failure has the top bit set.

#include <cstdint>

using CSFResult = uint32_t;

enum : CSFResult {
    CSF_S_OK = 0,
    // The factory has no object for the requested interface identifier.
    CSF_E_NO_INTERFACE = 0x80004002u,
    // The export was asked for a class other than the sensor library's.
    CSF_E_CLASS_NOT_AVAILABLE = 0x80040111u,
    // The export was asked for an interface other than the class factory's.
    CSF_E_INVALID_ARGUMENT = 0x80070057u,
    // An object could not be allocated.
    CSF_E_OUT_OF_MEMORY = 0x8007000Eu,
};

constexpr bool CSFSucceeded(CSFResult result) {
    return (result & 0x80000000u) == 0;
}
constexpr bool CSFFailed(CSFResult result) {
    return (result & 0x80000000u) != 0;
}
