#include "HostCommandRequest.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

HostCommandRequest::HostCommandRequest() = default;

HostCommandRequest::HostCommandRequest(const std::string& cmlInput, uint32_t dwCmlCode)
    : m_bCmlPipe(true),
      m_cmlMessage(kCmlInputDataOffset + cmlInput.size(), 0),
      m_dwCmlCode(dwCmlCode) {
    uint32_t length = static_cast<uint32_t>(cmlInput.size());
    std::memcpy(m_cmlMessage.data() + kCmlInputLengthOffset, &length, sizeof length);
    if (!cmlInput.empty()) {
        std::memcpy(m_cmlMessage.data() + kCmlInputDataOffset, cmlInput.data(), cmlInput.size());
    }
    m_pCmlMessage = m_cmlMessage.data();
}

// The sensor allocates the response block with malloc; the host frees it.
HostCommandRequest::~HostCommandRequest() {
    std::free(m_cmlOutput.m_pData);
}

void HostCommandRequest::SetStatus(uint32_t dwStatus) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_dwStatus = dwStatus;
    ++m_dwStatusCount;
    if (m_cmlOutput.m_dwLength != 0) {
        m_cmlResponse.assign(m_cmlOutput.m_pData, m_cmlOutput.m_pData + m_cmlOutput.m_dwLength);
    }
}

void HostCommandRequest::SetStatusText(const char* pszText) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_strStatusText = pszText != nullptr ? pszText : "";
}

uint8_t HostCommandRequest::HasCmlPipe() {
    return m_bCmlPipe ? 1 : 0;
}

uint8_t** HostCommandRequest::GetCmlInput() {
    return &m_pCmlMessage;
}

CmlByteBuffer* HostCommandRequest::GetCmlOutput() {
    return &m_cmlOutput;
}

uint32_t HostCommandRequest::GetCmlCode() {
    return m_dwCmlCode;
}

void HostCommandRequest::Complete() {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_dwCompletions;
    m_completed.notify_all();
}

bool HostCommandRequest::WaitForCompletion(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_completed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                [this] { return m_dwCompletions != 0; });
}

uint32_t HostCommandRequest::GetStatus() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_dwStatus;
}

std::string HostCommandRequest::GetStatusText() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_strStatusText;
}

uint32_t HostCommandRequest::CompletionCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_dwCompletions;
}

uint32_t HostCommandRequest::StatusCount() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_dwStatusCount;
}

std::vector<uint8_t> HostCommandRequest::GetCmlResponse() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_cmlResponse;
}
