#pragma once
// The tag that every logging call site owns and passes with each line it
// hands to the host's logger.  The host may use its two words to tell call
// sites apart; the plug-in sets both to 0.

#include <cstdint>

class ILogTag {
public:
    virtual uint32_t GetFirstWord() const = 0;
    virtual uint32_t GetSecondWord() const = 0;
    virtual ~ILogTag() = default;
    // Lets the host mark the tag; answers the tag itself.
    virtual ILogTag* Select(uint32_t dwWord) = 0;
};
