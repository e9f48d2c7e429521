#pragma once
// Policy files read by the host (the common policy, a policy about to be
// pushed) are taken whole or not at all, as the sensor takes its own: a
// file cut short, binary, empty or with a line that does not parse is
// refused with the reason, rather than read as far as it goes.

#include <string>
#include <vector>

class IPolicyContainer;

// A new container holding the whole file, or null with `problem` saying why
// ("cannot be opened", "line 12: ...").  With `bNeedsConfig` a file without
// the "\config" section is refused too, as the sensor refuses such a push.
IPolicyContainer* ReadWholePolicyFile(const std::string& path, bool bNeedsConfig,
                                      std::string& problem);

// What the last read of `pContainer` (one of ReadWholePolicyFile's) found
// given twice in the file, which is called `name`: one line each, naming
// the section and both lines.
std::vector<std::string> RepeatedSectionLines(IPolicyContainer* pContainer, const std::string& name);
