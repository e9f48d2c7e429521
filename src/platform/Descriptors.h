#pragma once
// The process's descriptors, shared out so that no input another account or
// a sender can make grow (the files of a watched folder, say) takes the last
// of them.  The soft limit is raised to the hard one the first time any of
// this is asked for (the sensor's start asks first), and a floor is kept
// free above what is open: it serves what must not fail for want of a
// descriptor, the sensor's sockets, the connections a decoy port accepts
// and the alert and message outputs.  An input that can grow asks how many
// it may still take, takes no more, and says what it left out.
//
//   const plat::DescriptorBudget budget = plat::GetDescriptorBudget();
//   size_t nSpare = budget.Spare();   // one open each, none below the floor

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

struct DescriptorBudget {
    uint64_t m_qwLimit = 0;  // the soft limit, once raised
    uint64_t m_qwFloor = 0;  // kept free for sockets, accepts and outputs
    uint64_t m_qwOpen = 0;   // open when the budget was taken

    // How many more an input that can grow may open now: 0 once the floor
    // is reached.
    uint64_t Spare() const {
        return m_qwOpen + m_qwFloor >= m_qwLimit ? 0 : m_qwLimit - m_qwFloor - m_qwOpen;
    }
};

// Raises the soft limit to the hard one, once per process, and answers the
// limit then.
uint64_t RaiseDescriptorLimit();

// The floor kept free under a limit of `qwLimit`: a quarter of it, at least
// 64 and at most 4,096.
uint64_t DescriptorFloorFor(uint64_t qwLimit);

// The budget now.  It counts the descriptors open (one listing of the
// process's own), so an input asks once per round of opens, not per open.
DescriptorBudget GetDescriptorBudget();

// Whether the last error (LastError.h) says an open, a socket or an accept
// failed for want of a descriptor: the process's limit (EMFILE) or the
// system's (ENFILE).  With
// `words`, which of the two, as an operator reads it.
bool LastErrorIsOutOfDescriptors(std::string* words = nullptr);

// Descriptors held back, while some are to spare, for one moment that must
// not go without them whatever the rest of the process has taken by then
// (an input's last look at the sensor's stop): given back to the process
// just before that moment, which then opens into them.
class DescriptorReserve {
public:
    DescriptorReserve() = default;
    ~DescriptorReserve() { Release(); }
    DescriptorReserve(const DescriptorReserve&) = delete;
    DescriptorReserve& operator=(const DescriptorReserve&) = delete;

    // Takes more until `qwCount` are held, as far as the process has them.
    void Fill(uint64_t qwCount);
    uint64_t Held() const { return m_Held.size(); }
    // Gives every one back to the process.
    void Release();

private:
    std::vector<int> m_Held;
};

}  // namespace plat
