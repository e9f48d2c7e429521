#include "NTSyslog/NTSyslogListeningThread.h"

#include "platform/LastError.h"

namespace {

constexpr uint32_t kReceiveWouldBlock = 10035;
// Datagrams taken in one wake before the wait comes round again.
constexpr size_t kMaxPerWake = 256;
// Wakes after which the drop count is read even though no batch came full.
constexpr uint32_t kWakesPerDropRead = 64;

}  // namespace

void NTSyslogListeningThread::ReceivePending() {
    bool bFullBatch = false;
    for (size_t taken = 0; taken < kMaxPerWake && !StopRequested();) {
        const long count = m_Batch.Receive(m_hSocket);
        if (count < 0) {
            const uint32_t error = plat::GetLastError();
            if (error != kReceiveWouldBlock && !StopRequested()) {
                ReportReceiveError(error);
            }
            break;
        }
        // A batch taken from the socket is queued whole, even when a stop
        // comes meanwhile: the engine parses it or counts it as unparsed,
        // whereas a datagram left out here would vanish without a count.
        for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
            QueueReceived(i);
        }
        taken += static_cast<size_t>(count);
        if (static_cast<size_t>(count) < m_Batch.Capacity()) {
            break;
        }
        bFullBatch = true;
    }
    // The system drops a datagram only when the socket's buffer is full,
    // and a full buffer gives full batches: the count is read after those,
    // and after every so many wakes for drops of other kinds, so it costs
    // one call for many datagrams and nothing per datagram.
    if (bFullBatch || ++m_dwWakesSinceDropRead >= kWakesPerDropRead) {
        ReadKernelDrops();
    }
}
