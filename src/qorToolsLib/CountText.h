#pragma once
// A count with the words it counts, as a message says it: "1 file",
// "2 files", "0 files".
//
//   CountText(n, "alert", "alerts")        says either form as given;
//   CountText(n, "connections not held")   takes the plural and makes the
//                                          singular of its first word that
//                                          ends in "s" ("connection not
//                                          held", "log line", "hit value",
//                                          "entry", "address", "match").
//
// The second form suits counted words that come from elsewhere (a bound's
// items); a word whose singular those rules do not make is given both ways.

#include <cstdint>
#include <string>
#include <string_view>

std::string CountText(uint64_t qwCount, std::string_view singular, std::string_view plural);
std::string CountText(uint64_t qwCount, std::string_view plural);

// The words of `plural` as they count one (see above).
std::string SingularOf(std::string_view plural);
