#pragma once
// The alert-type names the response formatters show.  They are the
// formatters' own wording ("HostIDSLoginEvent" where the sensor core says
// "LoginEvent", and a name for 104), so they are kept apart from the core's
// alert-type names.

#include <cstdint>
#include <map>
#include <string>

using AlertTypeNameMap = std::map<int32_t, std::string>;

// Fills the map with its fifteen rows (codes 101 to 105 and 202 to 211).
void FillAlertTypeNameMap(AlertTypeNameMap& map);

// The name of a code, "unknown" for a code the map does not hold.
const char* LookUpAlertTypeName(const AlertTypeNameMap& map, int32_t nCode);
