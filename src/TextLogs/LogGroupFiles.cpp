#include "TextLogs/LogGroupFiles.h"

#include <algorithm>
#include <utility>

#include "TextLogs/SensorOutputs.h"
#include "platform/Console.h"
#include "platform/Descriptors.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/Refusal.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/SafeText.h"

namespace {

constexpr uint32_t kFileTraceLevel = kCSFLogConsoleFlag | kCSFLogNotice;
constexpr uint32_t kFaultLevel = kCSFLogConsoleFlag | kCSFLogError;

// Whether two birth times may be of one file: a file system that does not
// say (0) leaves the identity alone to go by.
bool MayBeBornAlike(int64_t llBornNs, int64_t llOtherNs) {
    return llBornNs == 0 || llOtherNs == 0 || llBornNs == llOtherNs;
}

}  // namespace

CLogGroupFiles::CLogGroupFiles(std::string strGroup, Engine& engine)
    : m_strGroup(std::move(strGroup)), m_Engine(engine) {}

CLogGroupFiles::~CLogGroupFiles() = default;

void CLogGroupFiles::EndBounds() {
    for (InputBound** ppBound :
         {&m_pPlacesBound, &m_pUnnamedBound, &m_pLongLinesBound, &m_pTurnsBound, &m_pNulRunsBound}) {
        if (*ppBound != nullptr) {
            InputBounds::Instance().End(**ppBound);
            *ppBound = nullptr;
        }
    }
}

void CLogGroupFiles::SetInput(const std::string& strInput) {
    if (strInput != m_strInput) {
        // What the table's bounds counted was of an input that is gone.
        EndBounds();
        m_strInput = strInput;
    }
}

void CLogGroupFiles::SayUnreadAtRemoval(UnreadAtStop* pCount) {
    for (const Entry* pEntry : m_Order) {
        const int64_t llUnread = pEntry->IsOpen() && !pEntry->m_bOwn ? pEntry->m_pReader->GetUnread()
                                                                     : UnreadOfWaiting(*pEntry);
        if (llUnread > 0) {
            ReportUnreadAtLetGo(*pEntry->m_pReader, llUnread, pCount);
        }
    }
    SayPastBound(pCount);
}

int64_t CLogGroupFiles::UnreadOfWaiting(const Entry& entry) const {
    // Met, and never opened (no descriptor was to spare): what it holds
    // past where its reading was to begin was never read.
    if (entry.m_State != Entry::State::kWaiting || entry.m_dwNames == 0) {
        return 0;
    }
    const int64_t llFrom = entry.m_bAtEnd ? static_cast<int64_t>(entry.m_qwSizeMet) : entry.m_Place.m_llPosition;
    plat::FileStatus status;
    if (!plat::GetFileStatus(entry.m_pReader->GetFileName().c_str(), status)) {
        // With no descriptor left to look, it holds at least what it held
        // when the group met it.
        return plat::LastErrorIsOutOfDescriptors()
                   ? std::max<int64_t>(0, static_cast<int64_t>(entry.m_qwSizeMet) - llFrom)
                   : 0;
    }
    if (status.m_qwIdentity != entry.m_qwIdentity || !status.m_bIsRegular) {
        return 0;
    }
    return std::max<int64_t>(0, static_cast<int64_t>(status.m_qwSize) - llFrom);
}

CLogGroupFiles::Entry* CLogGroupFiles::Find(uint64_t qwIdentity) {
    auto it = m_Entries.find(qwIdentity);
    return it == m_Entries.end() ? nullptr : it->second.get();
}

const CLogGroupFiles::Entry* CLogGroupFiles::Find(uint64_t qwIdentity) const {
    auto it = m_Entries.find(qwIdentity);
    return it == m_Entries.end() ? nullptr : it->second.get();
}

const CLogGroupFiles::Entry* CLogGroupFiles::FindEntry(const std::string& strName) const {
    auto name = m_Names.find(strName);
    if (name != m_Names.end()) {
        if (const Entry* pEntry = Find(name->second.m_qwIdentity)) {
            return pEntry;
        }
    }
    for (const Entry* pEntry : m_Order) {
        if (pEntry->m_pReader->GetFileName() == strName) {
            return pEntry;
        }
    }
    return nullptr;
}

void CLogGroupFiles::Lead(NameMap::iterator name, uint64_t qwIdentity) {
    const uint64_t qwBefore = name->second.m_qwIdentity;
    if (qwBefore == qwIdentity) {
        return;
    }
    name->second.m_qwIdentity = qwIdentity;
    if (Entry* pOld = Find(qwBefore)) {
        if (--pOld->m_dwNames == 0) {
            --m_nNamed;
            // Its writer may not have moved on: it is read on, through its
            // descriptor, until it has been quiet for a while.
            CSF_TRACE(kFileTraceLevel, "Stop monitoring file %s", PrintableText(pOld->m_pReader->GetFileName()).c_str());
            pOld->m_dwQuiet = 0;
            pOld->m_llQuietAt = pOld->m_pReader->GetPosition();
        } else if (pOld->m_pReader->GetFileName() == name->first) {
            // Its lines are reported under a name that leads to it.
            for (const auto& [strName, other] : m_Names) {
                if (other.m_qwIdentity == qwBefore) {
                    pOld->m_pReader->SetFileName(strName);
                    break;
                }
            }
        }
    }
    if (Entry* pNew = Find(qwIdentity)) {
        if (pNew->m_dwNames++ == 0) {
            ++m_nNamed;
            if (pNew->m_pReader->GetFileName() != name->first) {
                CSF_TRACE(kFileTraceLevel, "re-monitoring file: %s", PrintableText(name->first).c_str());
                pNew->m_pReader->SetFileName(name->first);
            }
        }
    }
}

CLogGroupFiles::Entry* CLogGroupFiles::Create(const std::string& strName, uint64_t qwIdentity, uint64_t qwSize,
                                              bool bAtEnd, uint64_t qwAfter, bool bDescriptorTaken,
                                              int64_t llBornNs) {
    CSF_TRACE(kFileTraceLevel, "Creating TextLogListener for %s", PrintableText(strName).c_str());
    auto pEntry = std::make_unique<Entry>();
    Entry& entry = *pEntry;
    entry.m_pReader = std::make_unique<CTextLogListener>(strName, m_Engine.SharedEchoBudget(), m_Engine.SharedLosses());
    entry.m_pReader->SetRereadShare(m_Engine.RereadShare());
    entry.m_qwIdentity = qwIdentity;
    entry.m_qwSizeMet = qwSize;
    entry.m_llBornNs = llBornNs;
    entry.m_bAtEnd = bAtEnd;
    entry.m_qwOrder = m_qwNextOrder++;
    const Entry* pAfter = Find(qwAfter);
    entry.m_qwAfter = pAfter != nullptr && pAfter->IsOpen() ? qwAfter : 0;
    // A file the group read before goes on where its reading ended.
    auto place = m_Places.find(qwIdentity);
    auto history = m_History.find(qwIdentity);
    // A place kept from a size met holds no bytes before it: a file made
    // at another time, that took the identity of the one let go, holds
    // none of what was read of that one.
    if (place != m_Places.end() && !place->second.m_Point.m_Read.m_bShown &&
        !MayBeBornAlike(llBornNs, place->second.m_llBornNs)) {
        m_Places.erase(place);
        place = m_Places.end();
    }
    if (place != m_Places.end()) {
        entry.m_Place = std::move(place->second.m_Point);
        entry.m_bAtEnd = false;
        m_Places.erase(place);
    } else if (history != m_History.end() && !bAtEnd &&
               MayBeBornAlike(llBornNs, history->second.m_llBornNs)) {
        // Met at its path's first scan without being followed (not the
        // newest then, or left out at a bound): what it held then is
        // history, as that of the files followed from that scan on.  A file
        // made since, that took the identity of one removed, holds none.
        entry.m_Place.m_qwIdentity = qwIdentity;
        entry.m_Place.m_llPosition = static_cast<int64_t>(history->second.m_qwSize);
    }
    if (history != m_History.end()) {
        m_History.erase(history);
    }
    m_Entries.emplace(qwIdentity, std::move(pEntry));
    m_Order.push_back(&entry);
    Open(entry, !bDescriptorTaken);
    return &entry;
}

void CLogGroupFiles::Open(Entry& entry, bool bTakeDescriptor) {
    CTextLogListener& reader = *entry.m_pReader;
    if (bTakeDescriptor && !m_Engine.TakeFileDescriptor()) {
        entry.m_State = Entry::State::kWaiting;
        return;
    }
    // Its place taken from the size it was met with holds no bytes before
    // it: a file its name leads to now that took its identity once it was
    // removed, made at another time, is another file, read from its first
    // line.
    if (!entry.m_bAtEnd && entry.m_Place.IsSet() && !entry.m_Place.m_Read.m_bShown &&
        entry.m_llBornNs != 0) {
        plat::FileStatus status;
        if (plat::GetFileStatus(reader.GetFileName().c_str(), status) &&
            status.m_qwIdentity == entry.m_qwIdentity &&
            !MayBeBornAlike(status.m_llBornNs, entry.m_llBornNs)) {
            entry.m_Place = CTextLogListener::ResumePoint();
            entry.m_llBornNs = status.m_llBornNs;
        }
    }
    const bool bOpened = entry.m_bAtEnd ? reader.Open(qorFileReader::kEndOfFile) : reader.Resume(entry.m_Place);
    if (bOpened && reader.GetIdentity() == entry.m_qwIdentity) {
        CSF_TRACE(kFileTraceLevel, "Starting to monitor file %s", PrintableText(reader.GetFileName()).c_str());
        entry.m_State = Entry::State::kOpen;
        entry.m_bAtEnd = false;
        entry.m_Place = CTextLogListener::ResumePoint();
        return;
    }
    if (bOpened) {
        // The name has come to lead to another file since it was looked
        // at: the next look at the name finds where each one went.
        reader.Close();
        entry.m_State = Entry::State::kWaiting;
    } else if (reader.OpenWasRefused()) {
        // What stands at the name is no file to read (the reader said what
        // it is): it stays so while the name leads to it.
        CSF_LOG(kFaultLevel, "Can't start to monitor file(%s)", PrintableText(reader.GetFileName()).c_str());
        entry.m_State = Entry::State::kRefused;
        return;
    } else {
        // Gone from the name, or an open that may succeed later (no
        // descriptor left): it is tried again while a name leads to it.
        entry.m_State = Entry::State::kWaiting;
    }
    if (entry.m_bAtEnd) {
        // What it held when the group met it is history; what came after
        // is read once it opens.
        entry.m_Place.m_qwIdentity = entry.m_qwIdentity;
        entry.m_Place.m_llPosition = static_cast<int64_t>(entry.m_qwSizeMet);
        entry.m_bAtEnd = false;
    }
}

CLogGroupFiles::ReadResult CLogGroupFiles::LetGo(Entry& entry, bool bAnyway) {
    CTextLogListener& reader = *entry.m_pReader;
    if (entry.IsOpen()) {
        // Whoever writes the file decides how much came last (a sparse
        // gigabyte, say): no more than a turn's worth is read here, while
        // the group's other files wait.
        // Its unfinished last line is handed out as it is: nothing else
        // will read it.
        uint32_t dwTaken = 0;
        const ReadResult result = ReadLines(entry, kLinesAtLetGo, dwTaken, true);
        if (result == ReadResult::kStopped || (result == ReadResult::kBacklog && !bAnyway)) {
            return result;
        }
        if (entry.m_bOwn) {
            Erase(entry.m_qwIdentity);
            return ReadResult::kDrained;
        }
        // What could not be read (a bound let it go with more, a read
        // failed) is lost unless the file comes back.
        const int64_t llUnread = reader.GetUnread();
        if (llUnread > 0) {
            ReportUnreadAtLetGo(reader, llUnread);
        }
        reader.Close();
        RememberPlace(reader.GetResumePoint());
    } else if (entry.m_Place.IsSet()) {
        RememberPlace(entry.m_Place, entry.m_llBornNs);
    }
    Erase(entry.m_qwIdentity);
    return ReadResult::kDrained;
}

void CLogGroupFiles::Erase(uint64_t qwIdentity) {
    auto it = m_Entries.find(qwIdentity);
    if (it == m_Entries.end()) {
        return;
    }
    if (it->second->m_dwNames != 0) {
        --m_nNamed;
        for (auto& [strName, name] : m_Names) {
            name.m_qwIdentity = name.m_qwIdentity == qwIdentity ? 0 : name.m_qwIdentity;
        }
    }
    m_Order.erase(std::find(m_Order.begin(), m_Order.end(), it->second.get()));
    m_Entries.erase(it);
}

void CLogGroupFiles::ApplyScan(CLogGroup& group, CLogGroup::Scan& scan) {
    SetInput(group.DescribeInput());
    TakePastBound(group, scan);
    if (scan.IsComplete()) {
        m_Sorted = scan.Identities();
        std::sort(m_Sorted.begin(), m_Sorted.end());
    }
    uint64_t qwOverBound = 0;
    uint64_t qwNoDescriptor = 0;
    if (group.IsNewestOnly()) {
        ApplyNewest(group, scan, qwNoDescriptor);
    } else {
        ApplyAll(group, scan, qwOverBound, qwNoDescriptor);
    }
    // A file the group read that has become the sensor's own output (the
    // host opened an output anew there) is let go at once, unread.
    for (size_t n = 0; n < m_Order.size();) {
        const Entry& entry = *m_Order[n];
        if (entry.m_bOwn || SensorOutputs::Instance().Find(entry.m_pReader->GetFileName(), entry.m_qwIdentity,
                                                           entry.m_llBornNs)) {
            Erase(entry.m_qwIdentity);
            continue;
        }
        ++n;
    }
    RememberHistory(group, scan);
    // From now on, files first met through these paths are new ones.
    m_ScannedPaths.clear();
    m_ScannedPaths.insert(group.GetPaths().begin(), group.GetPaths().end());
    DropUnopenedGone(scan);
    if (scan.IsComplete()) {
        m_Dates.KeepOnly(m_Sorted);
        for (auto it = m_History.begin(); it != m_History.end();) {
            it = std::binary_search(m_Sorted.begin(), m_Sorted.end(), it->first) ? std::next(it)
                                                                                 : m_History.erase(it);
        }
    }
    group.ReportFilesLeftOut(qwOverBound, qwNoDescriptor);
}

void CLogGroupFiles::TakePastBound(const CLogGroup& group, const CLogGroup::Scan& scan) {
    m_PastBound.clear();
    for (const CLogGroup::Scan::PastBoundFile& met : scan.PastBound()) {
        // A file the group reads is read to its end by the stop; what a
        // path's first scan met is history.
        const std::vector<std::string>& paths = group.GetPaths();
        if (Find(met.m_qwIdentity) != nullptr || met.m_nPath >= paths.size() ||
            m_ScannedPaths.count(paths[met.m_nPath]) == 0) {
            continue;
        }
        int64_t llFrom = 0;
        if (auto history = m_History.find(met.m_qwIdentity); history != m_History.end()) {
            llFrom = static_cast<int64_t>(history->second.m_qwSize);
        } else if (auto place = m_Places.find(met.m_qwIdentity); place != m_Places.end()) {
            llFrom = place->second.m_Point.m_llPosition;
        }
        const int64_t llUnread = static_cast<int64_t>(met.m_qwSize) - llFrom;
        if (llUnread > 0) {
            m_PastBound.push_back({met.m_strName, llUnread});
        }
    }
}

void CLogGroupFiles::SayPastBound(UnreadAtStop* pCount) {
    for (const PastBound& file : m_PastBound) {
        ReportUnread(file.m_strName, file.m_llUnread, pCount);
    }
    m_PastBound.clear();
}

void CLogGroupFiles::RememberHistory(const CLogGroup& group, const CLogGroup::Scan& scan) {
    // A scan reads at most as many names as are kept here, and a file is
    // kept only from the first scan of a path until it is followed or
    // gone: past the bound (paths added and taken away reload after
    // reload), a file is read from its first line as one met later is.
    const std::vector<std::string>& paths = group.GetPaths();
    for (const CLogGroup::Scan::MetFile& met : scan.Met()) {
        if (met.m_qwSize == 0 || met.m_nPath >= paths.size() || m_ScannedPaths.count(paths[met.m_nPath]) != 0 ||
            Find(met.m_qwIdentity) != nullptr || m_Places.count(met.m_qwIdentity) != 0 ||
            m_History.size() >= CLogGroup::kMaxNamesPerScan) {
            continue;
        }
        m_History.try_emplace(met.m_qwIdentity, History{met.m_qwSize, met.m_llBornNs});
    }
}

bool CLogGroupFiles::IsHistory(const CLogGroup& group, const CLogGroup::FoundFile& found) const {
    const std::vector<std::string>& paths = group.GetPaths();
    return found.m_nPath >= paths.size() || m_ScannedPaths.count(paths[found.m_nPath]) == 0;
}

bool CLogGroupFiles::TakeUp(const CLogGroup& group, const CLogGroup::FoundFile& found, uint64_t qwAfter,
                            bool& bNoDescriptor) {
    bNoDescriptor = false;
    // Nothing follows the files after the stop: what its look meets is
    // read, or counted, whatever the bounds of the passes.
    const bool bAtStop = m_Engine.AtStop();
    if (m_nNamed >= CLogGroup::kMaxFilesFollowed && !bAtStop) {
        return false;
    }
    // A name of root's that is no regular file takes no descriptor: its
    // open is refused before it is made.  At the stop a file without one
    // waits for one that a file read to its end gives back.
    const bool bTaken = !found.m_bRegular || m_Engine.TakeFileDescriptor();
    if (!bTaken && !bAtStop) {
        bNoDescriptor = true;
        return false;
    }
    Create(found.m_strName, found.m_qwIdentity, found.m_qwSize, IsHistory(group, found), qwAfter, bTaken,
           found.m_llBornNs);
    auto name = m_Names.try_emplace(found.m_strName).first;
    name->second.m_dwMissedScans = 0;
    Lead(name, found.m_qwIdentity);
    return true;
}

void CLogGroupFiles::ApplyAll(CLogGroup& group, CLogGroup::Scan& scan, uint64_t& qwOverBound,
                              uint64_t& qwNoDescriptor) {
    // A scan cut short at a bound may not have met a name that still leads
    // to a file; one whose last look found no file is counted all the same,
    // or a folder whose scans never end whole (a tree deeper than the walk
    // goes) would keep every name it ever held, each looked at every pass.
    const bool bComplete = scan.IsComplete();
    for (auto& entry : m_Names) {
        entry.second.m_dwMissedScans += bComplete || entry.second.m_qwIdentity == 0 ? 1 : 0;
    }
    m_Newcomers.clear();
    for (const CLogGroup::FoundFile& found : scan.Files()) {
        if (Find(found.m_qwIdentity) == nullptr) {
            m_Newcomers.push_back(&found);
            continue;
        }
        auto name = m_Names.try_emplace(found.m_strName).first;
        name->second.m_dwMissedScans = 0;
        Lead(name, found.m_qwIdentity);
    }
    // Files the group follows keep being followed; of the new ones, root's
    // and the sensor's own come first, so another account's flood does not
    // take their places.
    std::stable_partition(m_Newcomers.begin(), m_Newcomers.end(),
                          [](const CLogGroup::FoundFile* pFile) { return pFile->m_bTrustedOwner; });
    for (const CLogGroup::FoundFile* pFound : m_Newcomers) {
        auto name = m_Names.find(pFound->m_strName);
        const uint64_t qwBefore = name != m_Names.end() ? name->second.m_qwIdentity : 0;
        if (Find(pFound->m_qwIdentity) != nullptr) {
            // A second name of a file taken up just now.
            name = m_Names.try_emplace(pFound->m_strName).first;
            name->second.m_dwMissedScans = 0;
            Lead(name, pFound->m_qwIdentity);
            continue;
        }
        if (name != m_Names.end()) {
            Lead(name, 0);
        }
        bool bNoDescriptor = false;
        if (!TakeUp(group, *pFound, qwBefore, bNoDescriptor)) {
            ++(bNoDescriptor ? qwNoDescriptor : qwOverBound);
            // Not followed: a later scan takes it up when there is room.
            if (name != m_Names.end()) {
                m_Names.erase(name);
            }
        }
    }
    // A name the scan did not meet leads to nothing the group takes; it is
    // looked at every pass a while longer, so a file that takes it again
    // is taken up at once.
    for (auto it = m_Names.begin(); it != m_Names.end();) {
        if (it->second.m_dwMissedScans == 0 || (!bComplete && it->second.m_qwIdentity != 0)) {
            ++it;
            continue;
        }
        Lead(it, 0);
        it = it->second.m_dwMissedScans >= kScansAName ? m_Names.erase(it) : std::next(it);
    }
}

void CLogGroupFiles::ApplyNewest(CLogGroup& group, CLogGroup::Scan& scan, uint64_t& qwNoDescriptor) {
    const std::vector<CLogGroup::FoundFile>& files = scan.Files();
    const CLogGroup::FoundFile* pChosen = files.empty() ? nullptr : &files.front();
    // The one name the group follows, and the file it leads to.
    auto current = m_Names.begin();
    while (current != m_Names.end() && current->second.m_qwIdentity == 0) {
        ++current;
    }
    const uint64_t qwCurrent = current != m_Names.end() ? current->second.m_qwIdentity : 0;
    if (pChosen != nullptr && qwCurrent != 0 && pChosen->m_qwIdentity != qwCurrent && !scan.IsComplete()) {
        // A scan cut short at a bound may not have met the newest file:
        // the group keeps the one it follows unless what the scan met was
        // written after it.
        plat::FileStatus status;
        if (plat::GetFileStatus(current->first.c_str(), status) && status.m_qwIdentity == qwCurrent &&
            pChosen->m_llTime <= m_Dates.Date(qwCurrent, status.m_llModifiedNs, scan.GetTimeNs())) {
            return;
        }
    }
    if (pChosen == nullptr) {
        if (!scan.IsComplete()) {
            return;
        }
        // Its file gone: the name is looked at a while longer, as in a
        // group of every file.
        for (auto it = m_Names.begin(); it != m_Names.end();) {
            Lead(it, 0);
            it = ++it->second.m_dwMissedScans >= kScansAName ? m_Names.erase(it) : std::next(it);
        }
        return;
    }
    // The group turns to the file written last: its other names are let go
    // at once, so no later file under them is taken up.
    for (auto it = m_Names.begin(); it != m_Names.end();) {
        if (it->first == pChosen->m_strName) {
            ++it;
            continue;
        }
        Lead(it, 0);
        it = m_Names.erase(it);
    }
    auto name = m_Names.find(pChosen->m_strName);
    if (Find(pChosen->m_qwIdentity) != nullptr) {
        name = m_Names.try_emplace(pChosen->m_strName).first;
        name->second.m_dwMissedScans = 0;
        Lead(name, pChosen->m_qwIdentity);
    } else {
        const uint64_t qwBefore = name != m_Names.end() ? name->second.m_qwIdentity : 0;
        if (name != m_Names.end()) {
            Lead(name, 0);
        }
        bool bNoDescriptor = false;
        if (!TakeUp(group, *pChosen, qwBefore, bNoDescriptor)) {
            qwNoDescriptor += bNoDescriptor ? 1 : 0;
            m_Names.erase(pChosen->m_strName);
            return;
        }
    }
    if (pChosen->m_qwIdentity != qwCurrent && !pChosen->m_bTrustedOwner) {
        SayTurn(group, *pChosen);
    }
}

void CLogGroupFiles::SayTurn(const CLogGroup& group, const CLogGroup::FoundFile& found) {
    // Whoever can write a watched folder can date a file ahead, or write
    // one last: the group reads it, as it reads the file written last, and
    // says once that another account's file is the one it reads now.
    if (m_TurnsSaid.count(found.m_qwIdentity) != 0) {
        return;
    }
    if (m_TurnsSaid.size() >= kMaxTurnsSaid) {
        // Past the files named one by one, every turn to another one is
        // counted, and said as a bound of the group.
        if (m_pTurnsBound == nullptr) {
            m_pTurnsBound = &InputBounds::Instance().Bound(
                BoundInput(),
                "at most " + std::to_string(kMaxTurnsSaid) +
                    " other accounts' files it turned to as the one written last named one by one",
                "turns", std::string(), nullptr, InputBound::Fate::kNotLost);
        }
        m_pTurnsBound->LeftOut();
        return;
    }
    m_TurnsSaid.insert(found.m_qwIdentity);
    const std::string strWarning = PrintableText(
        plat::RefusalText(found.m_strName, "a file", found.m_uOwner,
                          group.DescribeInput() + " reads it now, as the one of its files written last"));
    CSF_LOG(kCSFLogWarning, "%s", strWarning.c_str());
    plat::ConsolePrintf("WARNING: %s\n", strWarning.c_str());
}

void CLogGroupFiles::DropUnopenedGone(const CLogGroup::Scan& scan) {
    for (size_t n = 0; n < m_Order.size();) {
        Entry& entry = *m_Order[n];
        if (entry.m_dwNames != 0 || entry.IsOpen()) {
            ++n;
            continue;
        }
        if (!scan.IsComplete()) {
            // No name leads to it, so it cannot be opened, and a scan cut
            // short cannot tell whether it is gone: it is let go with its
            // place, as a file read to its end is, so that files made and
            // replaced before they could be opened, scan after scan, are
            // not all kept.  A later scan that meets it takes it up there.
            if (entry.m_bAtEnd) {
                entry.m_Place.m_qwIdentity = entry.m_qwIdentity;
                entry.m_Place.m_llPosition = static_cast<int64_t>(entry.m_qwSizeMet);
            }
            LetGo(entry, true);
            continue;
        }
        if (std::binary_search(m_Sorted.begin(), m_Sorted.end(), entry.m_qwIdentity)) {
            ++n;
            continue;
        }
        // Met, never opened, and no longer among the group's files: what
        // it held beyond its place was never read.
        const int64_t llUnread = static_cast<int64_t>(entry.m_qwSizeMet) - entry.m_Place.m_llPosition;
        if (entry.m_State == Entry::State::kWaiting && !entry.m_bAtEnd && llUnread > 0) {
            TextLogLosses& losses = *m_Engine.SharedLosses();
            ++losses.m_qwVanished;
            losses.m_qwBytes += static_cast<uint64_t>(llUnread);
            losses.Report(PrintableText(entry.m_pReader->GetFileName()) + " named a file of " +
                          std::to_string(entry.m_qwSizeMet) +
                          " bytes that was gone before it could be read: its lines are lost");
        }
        Erase(entry.m_qwIdentity);
    }
}

std::string CLogGroupFiles::BoundInput() const {
    return m_strInput.empty() ? "log group " + m_strGroup : m_strInput;
}

void CLogGroupFiles::RememberPlace(const CTextLogListener::ResumePoint& point, int64_t llBornNs) {
    if (!point.IsSet()) {
        return;
    }
    if (m_Places.size() >= kMaxPlaces && m_Places.count(point.m_qwIdentity) == 0) {
        auto oldest = m_Places.begin();
        for (auto it = m_Places.begin(); it != m_Places.end(); ++it) {
            oldest = it->second.m_qwOrder < oldest->second.m_qwOrder ? it : oldest;
        }
        m_Places.erase(oldest);
        if (m_pPlacesBound == nullptr) {
            m_pPlacesBound = &InputBounds::Instance().Bound(
                BoundInput(),
                "at most " + std::to_string(kMaxPlaces) + " reading places kept of files let go", "places");
        }
        m_pPlacesBound->LeftOut();
    }
    m_Places[point.m_qwIdentity] = Place{point, m_qwNextPlace++, llBornNs};
}

bool CLogGroupFiles::FollowNames() {
    LookAtNames();
    return LetGoQuiet();
}

void CLogGroupFiles::LookAtNames() {
    // A file that became the sensor's own output while it was read is let
    // go, unread.
    for (size_t n = 0; n < m_Order.size();) {
        if (m_Order[n]->m_bOwn) {
            Erase(m_Order[n]->m_qwIdentity);
            continue;
        }
        ++n;
    }
    // Files waiting to be opened, by a name that leads to them.
    for (Entry* pEntry : m_Order) {
        if (pEntry->m_State == Entry::State::kWaiting && pEntry->m_dwNames != 0) {
            Open(*pEntry);
        }
    }
    for (auto it = m_Names.begin(); it != m_Names.end(); ++it) {
        plat::FileStatus status;
        if (!plat::GetFileStatus(it->first.c_str(), status)) {
            // A look that fails for another reason than the name's absence
            // (no descriptor left, say) tells nothing.
            if (plat::IsAbsence(plat::GetLastError())) {
                Lead(it, 0);
            }
            continue;
        }
        if (status.m_qwIdentity == it->second.m_qwIdentity) {
            continue;
        }
        // Renamed within the group, or another name of a file it follows.
        if (Find(status.m_qwIdentity) != nullptr) {
            Lead(it, status.m_qwIdentity);
            continue;
        }
        const uint64_t qwBefore = it->second.m_qwIdentity;
        Lead(it, 0);
        // What is no regular file is left to the next scan to tell, and so
        // is the sensor's own output, which the group does not read.
        if (!status.m_bIsRegular || (m_nNamed >= CLogGroup::kMaxFilesFollowed && !m_Engine.AtStop()) ||
            SensorOutputs::Instance().Find(it->first, status.m_qwIdentity, status.m_llBornNs)) {
            continue;
        }
        // A new file under a followed name: a rotation, taken up within
        // the pass, from its first line.
        CSF_TRACE(kFileTraceLevel, "File (%s) is switched. Restart the listener", PrintableText(it->first).c_str());
        Create(it->first, status.m_qwIdentity, status.m_qwSize, false, qwBefore, false, status.m_llBornNs);
        Lead(it, status.m_qwIdentity);
    }
}

bool CLogGroupFiles::LetGoQuiet() {
    size_t nUnnamed = 0;
    for (const Entry* pEntry : m_Order) {
        nUnnamed += pEntry->m_dwNames == 0 && pEntry->IsOpen() ? 1 : 0;
    }
    for (size_t n = 0; n < m_Order.size();) {
        Entry& entry = *m_Order[n];
        if (entry.m_dwNames != 0 || !entry.IsOpen()) {
            ++n;
            continue;
        }
        const int64_t llAt = entry.m_pReader->GetPosition();
        bool bLetGo = nUnnamed > CLogGroup::kMaxFilesFollowed;
        if (llAt != entry.m_llQuietAt) {
            entry.m_llQuietAt = llAt;
            entry.m_dwQuiet = 0;
        } else {
            bLetGo = bLetGo || ++entry.m_dwQuiet >= kQuietPasses;
        }
        if (!bLetGo) {
            ++n;
            continue;
        }
        // Its writer has moved on, or more such files wait than the bound:
        // what came last is read, and it is let go, its place kept.  One
        // that had more than a turn's worth is still written to after all,
        // and is read on in turns.
        const bool bOverBound = nUnnamed > CLogGroup::kMaxFilesFollowed;
        if (bOverBound) {
            if (m_pUnnamedBound == nullptr) {
                m_pUnnamedBound = &InputBounds::Instance().Bound(
                    BoundInput(), "at most " + std::to_string(CLogGroup::kMaxFilesFollowed) +
                                      " files read on after their names went",
                    "files");
            }
            m_pUnnamedBound->LeftOut();
        }
        const ReadResult result = LetGo(entry, bOverBound);
        if (result == ReadResult::kStopped) {
            return false;
        }
        if (result == ReadResult::kBacklog) {
            entry.m_dwQuiet = 0;
            entry.m_llQuietAt = entry.m_pReader->GetPosition();
            ++n;
            continue;
        }
        --nUnnamed;
    }
    return true;
}

CLogGroupFiles::ReadResult CLogGroupFiles::ReadRound(uint32_t dwLinesPerTurn, bool& bMore) {
    for (Entry* pEntry : m_Order) {
        Entry& entry = *pEntry;
        entry.m_bDrained = true;
        if (!entry.IsOpen() || entry.m_bOwn) {
            continue;
        }
        // The file its name led to before gives all it has first.
        if (entry.m_qwAfter != 0) {
            const Entry* pBefore = Find(entry.m_qwAfter);
            if (pBefore == nullptr || !pBefore->IsOpen()) {
                entry.m_qwAfter = 0;
            } else if (!pBefore->m_bDrained) {
                entry.m_bDrained = false;
                continue;
            }
        }
        uint32_t dwTaken = 0;
        const ReadResult result = ReadLines(entry, dwLinesPerTurn, dwTaken);
        if (result == ReadResult::kStopped) {
            return ReadResult::kStopped;
        }
        entry.m_bDrained = result == ReadResult::kDrained;
        bMore = bMore || !entry.m_bDrained;
    }
    return ReadResult::kDrained;
}

CLogGroupFiles::ReadResult CLogGroupFiles::ReadLines(Entry& entry, uint32_t dwMaxLines, uint32_t& dwTaken,
                                                     bool bToEnd) {
    CTextLogListener& reader = *entry.m_pReader;
    CTextLogListener::Line line;
    if (BecameOwn(entry)) {
        return ReadResult::kDrained;
    }
    while (dwMaxLines == 0 || dwTaken < dwMaxLines) {
        if (!reader.ReadNextLine(line, bToEnd)) {
            if (reader.TakeNulRunHeldOver()) {
                ReportNulRun(reader);
            }
            // Read again after a cut up to the turn's share: the rest at
            // its next turn, which comes at once, not a pass later.
            return reader.IsRereading() ? ReadResult::kBacklog : ReadResult::kDrained;
        }
        // Looked at after the read: the host names an output before it
        // writes to it, so bytes it wrote are never handed out.
        if (BecameOwn(entry)) {
            return ReadResult::kDrained;
        }
        ++dwTaken;
        if (line.m_bCut) {
            ReportLongLine(reader);
        }
        if (!m_Engine.ReportRead(m_strGroup, reader.GetFileName(), line.m_Text)) {
            return ReadResult::kStopped;
        }
    }
    return ReadResult::kBacklog;
}

bool CLogGroupFiles::BecameOwn(Entry& entry) {
    const uint64_t qwGeneration = SensorOutputs::Instance().Generation();
    if (entry.m_bOwn || qwGeneration == entry.m_qwOwnLooked) {
        return entry.m_bOwn;
    }
    entry.m_qwOwnLooked = qwGeneration;
    entry.m_bOwn =
        SensorOutputs::Instance().Find(entry.m_pReader->GetFileName(), entry.m_qwIdentity, entry.m_llBornNs);
    return entry.m_bOwn;
}

void CLogGroupFiles::ReadTurnAtStop(uint32_t dwLinesPerTurn, std::chrono::steady_clock::time_point tDeadline,
                                    bool& bMore, UnreadAtStop& count) {
    for (Entry* pEntry : m_Order) {
        Entry& entry = *pEntry;
        CTextLogListener& reader = *entry.m_pReader;
        // Met with no descriptor to spare: opened once a file read to its
        // end has given one back.
        if (entry.m_State == Entry::State::kWaiting && entry.m_dwNames != 0 && m_Engine.TakeFileDescriptor()) {
            Open(entry, false);
            if (!entry.IsOpen()) {
                m_Engine.GiveBackFileDescriptor();
            }
        }
        if (!entry.IsOpen() || entry.m_bOwn || reader.IsClosed()) {
            continue;
        }
        // The clock is read once a turn: a turn takes far less than the
        // stop's time.
        if (std::chrono::steady_clock::now() >= tDeadline) {
            bMore = true;
            return;
        }
        // The file its name led to before gives all it has first, as in
        // the passes.
        if (entry.m_qwAfter != 0) {
            const Entry* pBefore = Find(entry.m_qwAfter);
            if (pBefore != nullptr && pBefore->IsOpen() && !pBefore->m_bOwn && !pBefore->m_pReader->IsClosed()) {
                bMore = true;
                continue;
            }
            entry.m_qwAfter = 0;
        }
        uint32_t dwTaken = 0;
        if (ReadLines(entry, dwLinesPerTurn, dwTaken, true) != ReadResult::kDrained) {
            bMore = true;
            continue;
        }
        if (entry.m_bOwn) {
            continue;
        }
        // Read to its end: what is left unread is what a read that failed
        // left, or what its writer added since.
        const int64_t llUnread = reader.GetUnread();
        if (llUnread > 0) {
            ReportUnreadAtLetGo(reader, llUnread, &count);
        }
        reader.Close();
        m_Engine.GiveBackFileDescriptor();
    }
}

bool CLogGroupFiles::HasWaiting() const {
    return std::any_of(m_Order.begin(), m_Order.end(), [](const Entry* pEntry) {
        return pEntry->m_State == Entry::State::kWaiting && pEntry->m_dwNames != 0;
    });
}

void CLogGroupFiles::LeaveAtStop(UnreadAtStop& count) {
    for (Entry* pEntry : m_Order) {
        Entry& entry = *pEntry;
        CTextLogListener& reader = *entry.m_pReader;
        if (!entry.IsOpen()) {
            const int64_t llUnread = UnreadOfWaiting(entry);
            if (llUnread > 0) {
                ReportUnreadAtLetGo(reader, llUnread, &count);
            }
            continue;
        }
        if (entry.m_bOwn || reader.IsClosed()) {
            continue;
        }
        const int64_t llUnread = reader.GetUnread();
        if (llUnread > 0) {
            ReportUnreadAtLetGo(reader, llUnread, &count);
        }
        reader.Close();
    }
    SayPastBound(&count);
}

void CLogGroupFiles::ReportLongLine(const CTextLogListener& reader) {
    // Whoever writes the file decides how long its lines are: one longer
    // than a line is matched whole is matched in pieces, and a match across
    // the end of a piece is not found.  Counted for the group, and said
    // naming the file within the limit of the losses' reports.
    if (m_pLongLinesBound == nullptr) {
        m_pLongLinesBound = &InputBounds::Instance().Bound(
            BoundInput(),
            "lines of at most " + std::to_string(CTextLogListener::kLineMax) +
                " bytes matched whole, longer ones in pieces of that many",
            "lines", std::string(), "matched in pieces", InputBound::Fate::kNotLost);
    }
    m_pLongLinesBound->LeftOut();
    if (TextLogLosses* pLosses = m_Engine.SharedLosses()) {
        pLosses->ReportLongLine("a line of " + PrintableText(reader.GetFileName()) + " is longer than " +
                                std::to_string(CTextLogListener::kLineMax) + " bytes: it is matched in pieces of " +
                                std::to_string(CTextLogListener::kLineMax) + " bytes (" + BoundInput() + ")");
    }
}

void CLogGroupFiles::ReportNulRun(const CTextLogListener& reader) {
    // Whoever writes the file decides how many NULs come before a line:
    // a run is passed over at the speed of memory, but no more of it a pass
    // than a file's share, so the group's other files are not held up.
    constexpr int64_t kShareMiB = qorFileReader::kPassOverPerCall >> 20;
    if (m_pNulRunsBound == nullptr) {
        m_pNulRunsBound = &InputBounds::Instance().Bound(
            BoundInput(),
            "runs of NUL bytes before a line passed over " + std::to_string(kShareMiB) +
                " MiB a pass, the rest at the passes after",
            "runs", std::string(), nullptr, InputBound::Fate::kNotLost);
    }
    m_pNulRunsBound->LeftOut();
    if (TextLogLosses* pLosses = m_Engine.SharedLosses()) {
        pLosses->ReportNulRun("a run of NUL bytes before a line of " + PrintableText(reader.GetFileName()) +
                              " is longer than " + std::to_string(kShareMiB) + " MiB: it is passed over " +
                              std::to_string(kShareMiB) + " MiB a pass, and the lines after it come later (" +
                              BoundInput() + ")");
    }
}

void CLogGroupFiles::ReportUnreadAtLetGo(const CTextLogListener& reader, int64_t llUnread, UnreadAtStop* pCount) {
    ReportUnread(reader.GetFileName(), llUnread, pCount);
}

void CLogGroupFiles::ReportUnread(const std::string& strName, int64_t llUnread, UnreadAtStop* pCount) {
    TextLogLosses own;
    TextLogLosses* pLosses = m_Engine.SharedLosses();
    TextLogLosses& losses = pLosses != nullptr ? *pLosses : own;
    ++losses.m_qwUnreadAtLetGo;
    losses.m_qwBytes += static_cast<uint64_t>(llUnread);
    const bool bNamed =
        !strName.empty() && losses.Report(PrintableText(strName) + " was let go by " + BoundInput() + " with " +
                                          std::to_string(llUnread) + " bytes of it not read: its lines are lost");
    if (pCount != nullptr) {
        ++pCount->m_qwFiles;
        pCount->m_qwBytes += static_cast<uint64_t>(llUnread);
        pCount->m_qwNamed += bNamed ? 1 : 0;
    }
}
