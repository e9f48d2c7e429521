#include "TclHandler/tclScriptReport.h"

#include <utility>

#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/CountText.h"

void tclScriptReport::BeginLoad(bool bSummaryWaits) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_bSending = true;
    m_bSummaryWaits = bSummaryWaits;
    m_Refused.clear();
    m_nRefusedUncounted = 0;
    m_Unsaid.clear();
}

void tclScriptReport::BeginSending() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Refused.clear();
    m_nRefusedUncounted = 0;
}

void tclScriptReport::NoteRefused(const std::string& strShort, const std::string& strText) {
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (m_Refused.size() >= kMaxRefusals) {
            ++m_nRefusedUncounted;
            return;
        }
        m_Refused.push_back(strShort);
        if (m_bSending) {
            m_Unsaid.push_back(strText);
            return;
        }
    }
    // Learnt while alerts flow, long after any load: said at once.
    Say({strText});
}

void tclScriptReport::Publish() {
    std::vector<std::string> texts;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_bSending = false;
        if (!m_bSummaryWaits) {
            texts = TakeUnsaidLocked();
        }
    }
    m_Changed.notify_all();
    Say(texts);
}

std::string tclScriptReport::Describe(std::chrono::milliseconds wait, bool* pbTaken) {
    std::vector<std::string> texts;
    std::string strNote;
    {
        std::unique_lock<std::mutex> lock(m_Lock);
        // Only the summary of the load that sent the scripts waits.
        const bool bSummary = m_bSummaryWaits;
        if (bSummary) {
            m_Changed.wait_for(lock, wait, [this] { return !m_bSending; });
        }
        if (pbTaken != nullptr) {
            *pbTaken = bSummary && !m_bSending;
        }
        // Whatever comes from now on is no longer this summary's.
        m_bSummaryWaits = false;
        texts = TakeUnsaidLocked();
        if (m_bSending) {
            strNote = "the scripts are still being sent to the script process; what it says of "
                      "them is said when it comes";
        }
        strNote = NoteLocked(strNote);
    }
    Say(texts);
    return strNote;
}

std::string tclScriptReport::Peek() {
    // Scripts still being sent are no state of their own: what the
    // process refuses of them is said when it comes, which has the host
    // look again.
    std::lock_guard<std::mutex> guard(m_Lock);
    return NoteLocked(std::string());
}

std::string tclScriptReport::NoteLocked(std::string strNote) const {
    const size_t nRefused = m_Refused.size() + m_nRefusedUncounted;
    if (nRefused > 0) {
        std::string strList;
        for (const std::string& strShort : m_Refused) {
            strList += (strList.empty() ? "" : ", ") + strShort;
        }
        if (m_nRefusedUncounted > 0) {
            strList += " and " + std::to_string(m_nRefusedUncounted) + " more";
        }
        strNote += (strNote.empty() ? "" : "; ") + std::to_string(nRefused) +
                   (nRefused == 1 ? " script" : " scripts") +
                   " refused by the script process: " + strList;
    }
    return strNote;
}

size_t tclScriptReport::RefusedCount() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Refused.size() + m_nRefusedUncounted;
}

std::vector<std::string> tclScriptReport::TakeUnsaidLocked() {
    std::vector<std::string> texts = std::move(m_Unsaid);
    m_Unsaid.clear();
    if (m_nRefusedUncounted > 0 && !texts.empty()) {
        texts.push_back(CountText(m_nRefusedUncounted, "more script", "more scripts") +
                        (m_nRefusedUncounted == 1 ? " was" : " were") +
                        " refused by the script process (the log has each)");
    }
    return texts;
}

void tclScriptReport::Say(const std::vector<std::string>& texts) {
    // The host writes the console copy, and so knows the operator saw it.
    for (const std::string& strText : texts) {
        CSF_LOG(kCSFLogError | kCSFLogConsoleFlag, "%s", strText.c_str());
    }
}
