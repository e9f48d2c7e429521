#pragma once
// Collects what the code under test writes to standard output and standard
// error through the console functions, from any thread, for one scope.

#include <mutex>
#include <string>

#include "platform/Console.h"
#include "support/TestUtil.h"

namespace hwtest {

class ConsoleCapture {
public:
    ConsoleCapture() {
        m_previous = plat::SetConsoleSink([this](std::string_view text) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_text.append(text);
        });
    }
    ~ConsoleCapture() { plat::SetConsoleSink(std::move(m_previous)); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string Text() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_text;
    }
    bool Contains(const std::string& text) { return Text().find(text) != std::string::npos; }
    // Polls for text another thread writes, as long as any wait on a
    // loaded machine may take.
    bool WaitFor(const std::string& text) { return WaitUntil([&] { return Contains(text); }); }

private:
    std::mutex m_lock;
    std::string m_text;
    plat::ConsoleSink m_previous;
};

}  // namespace hwtest
