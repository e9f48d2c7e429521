#include "StrictPolicyFile.h"

#include <new>

#include "qorCSFLib/PluginPolicyContainer.h"

IPolicyContainer* ReadWholePolicyFile(const std::string& path, bool bNeedsConfig,
                                      std::string& problem) {
    auto* pStore = new (std::nothrow) ConfigStore();
    auto* pContainer = pStore != nullptr ? new (std::nothrow) PluginPolicyContainer(pStore, true)
                                         : nullptr;
    if (pContainer == nullptr) {
        delete pStore;
        problem = "no memory to read it";
        return nullptr;
    }
    pContainer->SetStrictReading(true);
    if (pContainer->LoadFile(path.c_str(), "", "\\", true) != 0) {
        problem = pContainer->GetReadProblem();
    } else if (bNeedsConfig && !pContainer->Exists("\\config", "")) {
        problem = "no \"\\config\" section exists";
    } else {
        problem.clear();
        return pContainer;
    }
    pContainer->Release();
    return nullptr;
}

std::vector<std::string> RepeatedSectionLines(IPolicyContainer* pContainer, const std::string& name) {
    auto* pOwn = dynamic_cast<PluginPolicyContainer*>(pContainer);
    if (pOwn == nullptr || pOwn->GetStore() == nullptr) {
        return {};
    }
    return pOwn->GetStore()->DescribeRepeatedSections(name, false);
}
