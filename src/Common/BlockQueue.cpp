#include "Common/BlockQueue.h"

#include <algorithm>
#include <new>
#include <utility>

BlockQueue::BlockQueue(size_t maxBytes, size_t blockBytes)
    : m_nBlockBytes(blockBytes == 0 ? 1 : blockBytes),
      m_nMaxBlocks(maxBytes / m_nBlockBytes == 0 ? 1 : maxBytes / m_nBlockBytes) {}

BlockQueue::Block BlockQueue::MakeBlock() {
    Block block;
    if (m_pSpare) {
        block.m_pBytes = std::move(m_pSpare);
    } else if (m_nBlocksMade < m_nMaxBlocks) {
        block.m_pBytes.reset(new (std::nothrow) char[m_nBlockBytes]);
        m_nBlocksMade += block.m_pBytes ? 1 : 0;
        m_nMostBlocksMade = std::max(m_nMostBlocksMade, m_nBlocksMade);
    }
    return block;
}

char* BlockQueue::Append(size_t size) {
    if (size > m_nBlockBytes) {
        return nullptr;
    }
    if (m_nCount == 0 && !m_Blocks.empty()) {
        // An empty queue keeps one block, written from its start again.
        m_Blocks.front().m_nBegin = m_Blocks.front().m_nEnd = 0;
    }
    if (m_Blocks.empty() || m_nBlockBytes - m_Blocks.back().m_nEnd < size) {
        Block block = MakeBlock();
        if (!block.m_pBytes) {
            return nullptr;
        }
        m_Blocks.push_back(std::move(block));
    }
    Block& block = m_Blocks.back();
    char* const pAt = block.m_pBytes.get() + block.m_nEnd;
    block.m_nEnd += size;
    ++m_nCount;
    return pAt;
}

char* BlockQueue::Prepend(size_t size) {
    if (size > m_nBlockBytes) {
        return nullptr;
    }
    if (m_nCount == 0 && !m_Blocks.empty()) {
        m_Blocks.front().m_nBegin = m_Blocks.front().m_nEnd = m_nBlockBytes;
    }
    if (m_Blocks.empty() || m_Blocks.front().m_nBegin < size) {
        Block block = MakeBlock();
        if (!block.m_pBytes) {
            return nullptr;
        }
        block.m_nBegin = block.m_nEnd = m_nBlockBytes;
        m_Blocks.push_front(std::move(block));
    }
    Block& block = m_Blocks.front();
    block.m_nBegin -= size;
    ++m_nCount;
    return block.m_pBytes.get() + block.m_nBegin;
}

char* BlockQueue::Front() {
    return m_nCount == 0 ? nullptr : m_Blocks.front().m_pBytes.get() + m_Blocks.front().m_nBegin;
}

void BlockQueue::PopFront(size_t size) {
    Block& block = m_Blocks.front();
    block.m_nBegin += size;
    --m_nCount;
    if (block.m_nBegin < block.m_nEnd || m_Blocks.size() == 1) {
        return;
    }
    // The last block stays for what comes next; one other is kept spare.
    if (!m_pSpare) {
        m_pSpare = std::move(block.m_pBytes);
    } else {
        --m_nBlocksMade;
    }
    m_Blocks.pop_front();
}

size_t BlockQueue::Clear() {
    const size_t nCount = m_nCount;
    m_Blocks.clear();
    m_pSpare.reset();
    m_nBlocksMade = 0;
    m_nCount = 0;
    return nCount;
}
