#pragma once
// The request object that accompanies one command.  The sensor sets its
// status (and a text when it fails) and completes it; the host waits for the
// completion.  A command-language request also carries the input message
// and receives the response, which the host copies while SetStatus runs
// (the sensor clears the buffer right after).

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "hostwarden/ICSFCommandRequest.h"

class HostCommandRequest final : public ICSFCommandRequest {
public:
    HostCommandRequest();
    // A command-language request with its input data and response code.
    HostCommandRequest(const std::string& cmlInput, uint32_t dwCmlCode);
    ~HostCommandRequest();
    HostCommandRequest(const HostCommandRequest&) = delete;
    HostCommandRequest& operator=(const HostCommandRequest&) = delete;

    void SetStatus(uint32_t dwStatus) override;
    void SetStatusText(const char* pszText) override;
    uint8_t HasCmlPipe() override;
    uint8_t** GetCmlInput() override;
    CmlByteBuffer* GetCmlOutput() override;
    uint32_t GetCmlCode() override;
    void Complete() override;

    // Waits at most `timeoutMs` for the first completion.
    bool WaitForCompletion(uint32_t timeoutMs);

    uint32_t GetStatus() const;
    std::string GetStatusText() const;
    // How often Complete ran: a sound command completes exactly once.
    uint32_t CompletionCount() const;
    uint32_t StatusCount() const;
    // The response bytes (header and data) as they stood at SetStatus.
    std::vector<uint8_t> GetCmlResponse() const;

private:
    mutable std::mutex m_lock;
    std::condition_variable m_completed;
    uint32_t m_dwStatus = 0;
    uint32_t m_dwStatusCount = 0;
    uint32_t m_dwCompletions = 0;
    std::string m_strStatusText;
    bool m_bCmlPipe = false;
    std::vector<uint8_t> m_cmlMessage;
    uint8_t* m_pCmlMessage = nullptr;
    CmlByteBuffer m_cmlOutput;
    uint32_t m_dwCmlCode = 0;
    std::vector<uint8_t> m_cmlResponse;
};
