#pragma once
// The values of one policy key as name and text pairs, in the policy's
// order (longs and booleans in decimal).

#include <string>
#include <utility>
#include <vector>

class IPolicyContainer;

// The keys of the sensor's settings and of its tuning values.
constexpr const char kConfig[] = "\\config";
constexpr const char kTuning[] = "\\config\\tuning";

using PolicyValueList = std::vector<std::pair<std::string, std::string>>;

// Empty for a null policy, a missing key or one without values.
PolicyValueList ListPolicyValues(IPolicyContainer* pPolicy, const char* pszPath);
