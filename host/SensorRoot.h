#pragma once
// What makes a folder a sensor root, for `hwhost run` and `hwhost push`
// alike: a folder holding none of the policies the sensor starts from (a
// mistyped --root, the repository's top folder) is none, and neither
// command writes anything into it.

#include <string>

// False, with `why` saying so ("<root> is not a sensor root: ..."), when
// `root` holds no Default.policy, current.policy, push.policy or
// push.policy.loading; the caller adds what it does instead.
bool IsSensorRoot(const std::string& root, std::string& why);
