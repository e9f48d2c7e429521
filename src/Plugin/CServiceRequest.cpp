#include "Plugin/CServiceRequest.h"

#include <mutex>
#include <new>

namespace {

std::mutex g_instanceLock;
CServiceRequest* g_pInstance = nullptr;

}  // namespace

CServiceRequest::CServiceRequest() {
    SetInitialized();
    AllowServices();
    AllowEventHandler();
}

CServiceRequest::~CServiceRequest() {
    std::lock_guard<std::mutex> guard(g_instanceLock);
    if (g_pInstance == this) {
        g_pInstance = nullptr;
    }
}

CServiceRequest* CServiceRequest::GetInstance() {
    std::lock_guard<std::mutex> guard(g_instanceLock);
    if (g_pInstance == nullptr) {
        g_pInstance = new (std::nothrow) CServiceRequest;
    }
    return g_pInstance;
}

CServiceRequest* CServiceRequest::Peek() {
    std::lock_guard<std::mutex> guard(g_instanceLock);
    return g_pInstance;
}

const char* CServiceRequest::GetPolicyRoot() { return "\\Advanced\\"; }

uint32_t CServiceRequest::Release() {
    delete this;
    return 0;
}
