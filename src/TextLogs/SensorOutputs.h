#pragma once
// The files the sensor itself writes, which no log group reads: the host's
// standard output and standard error, and what the host names in the
// environment (plat::kOwnOutputsVariable): its log, alert, message and
// status files and the folder it writes mails into.  A group that read one
// would alert on its own output, and again on that alert, without end.
//
// Each file the host wrote as its output in this run is known by the file
// itself for the whole run (plat::OwnOutputs: the host names each one as
// it opens it, before it writes to it), so neither a rename to any name or
// folder nor a second name (a hard link, a link of root's) gets past it:
// an alert file rotated away (alerts.xml to alerts.xml.1 or into an olddir,
// then a SIGHUP) is still the sensor's own, however soon after its open it
// was renamed.  Besides, in
// the folder of a file output, its own name and its rotated names are the
// sensor's own by name: the output's name followed by one or more of a
// number after ".", "-" or "_" (".1", "-20261208", "-2026-12-08"), ".old",
// ".bak", ".save", "~" and a compressor's ending (".gz", ".bz2", ".xz",
// ".zst", ".lz4", ".lzma", ".lzo", ".Z", ".br", ".zip"), or the same before
// the name's last extension, as logrotate's "extension" puts it
// ("alerts.1.xml"), so that neither a copy a rotation makes (copytruncate,
// compress) nor an output of an earlier run is read.  A file the host
// replaces by renaming a new one over it (its status file, and the new one
// on its way), whose identity goes to other files once the old one is
// removed, and a folder, by the name in its folder only.  The identities of
// the outputs' folders are looked at again at every scan.  Used on the
// engine thread and on the thread that loads the policy, never at once.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/OwnOutputs.h"

class SensorOutputs {
public:
    struct Output {
        // As the warning names it: "standard error", "log", ...
        std::string m_strWhat;
        std::string m_strPath;
        // A folder: every file in it.
        bool m_bFolder = false;
    };
    // How a file is the sensor's own.
    struct Match {
        enum class Kind {
            kIs,         // it is the output (by the file, or by its name)
            kWas,        // it was the output earlier in this run
            kRotatedName // it bears a rotated name of the output
        };
        size_t m_nOutput = 0;
        Kind m_Kind = Kind::kIs;
    };

    // The process's outputs, read from the environment the first time.
    static SensorOutputs& Instance();

    // Looks again at which files the outputs are, and lets go of the
    // earlier outputs that were removed.
    void Refresh();
    // Whether the file `strName`, of identity `qwIdentity` made at
    // `llBornNs` (0: not known), is the sensor's own output, and how.
    bool Find(const std::string& strName, uint64_t qwIdentity, int64_t llBornNs, Match* pMatch = nullptr);
    // What a file so matched is, in words ("is the sensor's own standard
    // error", "lies in the sensor's own mail folder", "was the sensor's own
    // alert file earlier in this run", "bears a rotated name of the
    // sensor's own alert file /var/log/hw/alerts.xml").
    std::string Describe(const Match& match);
    // Changes whenever the host opened an output since: a file read until
    // then may have become one.
    uint64_t Generation() const;
    // Whether `strName` is `strOutput` followed by a rotation's suffix, or
    // with one before its last extension (see above).
    static bool IsRotatedName(std::string_view strOutput, std::string_view strName);

    // For tests: the outputs besides standard output and error (the
    // environment's otherwise).
    void SetForTest(std::vector<Output> outputs);

private:
    SensorOutputs();
    // Whether the table of the outputs written in this run holds the file
    // `strName` of identity `qwIdentity`, by its owner too.
    static bool HeldAsOutput(const std::string& strName, uint64_t qwIdentity, int64_t llBornNs,
                             plat::OwnOutputs::Held& held);
    void Load(std::vector<Output> outputs);
    size_t OutputOf(const char* pszWhat) const;

    std::mutex m_Lock;
    std::vector<Output> m_Outputs;
    // The files the outputs known by identity are now: identity and the
    // output's index.
    std::vector<std::pair<uint64_t, size_t>> m_Known;
    // For each output known by its name in its folder: the folder's
    // identity and the name (empty for a folder output), and whether its
    // rotated names are its too.
    struct Named {
        size_t m_nOutput = 0;
        std::string m_strFolder;
        std::string m_strName;
        uint64_t m_qwFolder = 0;
        bool m_bRotations = false;
    };
    std::vector<Named> m_Named;
    // The last folder looked at, as files of one folder come in a row.
    std::string m_strLastFolder;
    uint64_t m_qwLastFolder = 0;
    bool m_bLastFolderKnown = false;
};
