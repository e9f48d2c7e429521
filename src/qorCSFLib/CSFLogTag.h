#pragma once
// The tag each logging call site owns (a block-scope static, made on first
// use) and passes by address with every line it hands to the host.

#include <cstdint>

#include "hostwarden/ILogTag.h"

class CSFLogTag final : public ILogTag {
public:
    CSFLogTag() = default;

    uint32_t GetFirstWord() const override { return m_dwFirst; }
    uint32_t GetSecondWord() const override { return m_dwSecond; }
    ~CSFLogTag() override = default;
    ILogTag* Select(uint32_t) override { return this; }

private:
    uint32_t m_dwFirst = 0;
    uint32_t m_dwSecond = 0;
};
