#pragma once
// The folder hwhost leaves its e-mail in, one file per message, for a mail
// transport of the administrator's choice to pick up.  A file is written
// under a temporary name and renamed, so a reader never sees half of one.
//
// File layout: "To: <recipients>", "Subject: <subject>", an empty line,
// then the body as the formatter made it.  Line breaks inside the header
// values become blanks, so alert text cannot add header lines.

#include <atomic>
#include <cstdint>
#include <string>

class MailOutbox {
public:
    explicit MailOutbox(std::string directory);

    // Writes one message; false with `error` set.  `path` names the file.
    bool Write(const std::string& to, const std::string& subject, const std::string& body,
               std::string& path, std::string& error);

    const std::string& Directory() const { return m_directory; }

private:
    std::string NextName();

    std::string m_directory;
    std::atomic<uint32_t> m_dwSequence{0};
};
