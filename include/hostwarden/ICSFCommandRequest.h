#pragma once
// The request object that accompanies a command from the host to the
// sensor.  The sensor answers through it: a status (1 done, 2 failed), an
// optional status text, and the completion that releases the host's waiter.

#include <cstdint>

#include "hostwarden/CmlByteBuffer.h"

enum : uint32_t {
    kCommandStatusDone = 1,
    kCommandStatusFailed = 2,
};

class ICSFCommandRequest {
public:
    virtual void SetStatus(uint32_t dwStatus) = 0;
    virtual void SetStatusText(const char* pszText) = 0;
    // 1 when the request travels through the current command-language pipe.
    virtual uint8_t HasCmlPipe() = 0;
    // The host's pointer to the input message (see CmlByteBuffer.h for its
    // layout); the sensor writes the message's link field.
    virtual uint8_t** GetCmlInput() = 0;
    virtual CmlByteBuffer* GetCmlOutput() = 0;
    // The number the sensor writes into the response header.
    virtual uint32_t GetCmlCode() = 0;
    // Tells the host the command has been handled; called at most once.
    virtual void Complete() = 0;

protected:
    ~ICSFCommandRequest() = default;
};
