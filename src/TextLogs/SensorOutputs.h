#pragma once
// The files the sensor itself writes, which no log group reads: the host's
// standard output and standard error, and what the host names in the
// environment (plat::kOwnOutputsVariable): its log, alert, message and
// status files and the folder it writes mails into.  A group that read one
// would alert on its own output, and again on that alert, without end.
//
// Each is known by file identity, so neither a rename nor a second name (a
// hard link, a link of root's) gets past it; a file the host replaces by
// renaming a new one over it (its status file, and the new one on its way,
// each named by the host), whose identity goes to other files once the old
// one is removed, and a folder, by the name in its folder.  The identities
// are looked at again at every scan: the host opens an output anew after a
// failure.  Used on the engine thread and on the thread that loads the
// policy, never at once.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class SensorOutputs {
public:
    struct Output {
        // As the warning names it: "standard error", "log", ...
        std::string m_strWhat;
        std::string m_strPath;
        // A folder: every file in it.
        bool m_bFolder = false;
    };

    // The process's outputs, read from the environment the first time.
    static SensorOutputs& Instance();

    // Looks again at which files the outputs are.
    void Refresh();
    // The output the file `strName`, of identity `qwIdentity`, is, or null.
    const Output* Find(const std::string& strName, uint64_t qwIdentity);
    // An output's index, and what a file of it is, in words ("is the
    // sensor's own standard error", "lies in the sensor's own mail folder").
    size_t IndexOf(const Output& output) const { return static_cast<size_t>(&output - m_Outputs.data()); }
    std::string WhatOf(size_t nOutput);

    // For tests: the outputs besides standard output and error (the
    // environment's otherwise).
    void SetForTest(std::vector<Output> outputs);

private:
    SensorOutputs();
    void Load(std::vector<Output> outputs);

    std::mutex m_Lock;
    std::vector<Output> m_Outputs;
    // The files the outputs known by identity are now: identity and the
    // output's index.
    std::vector<std::pair<uint64_t, size_t>> m_Known;
    // For each output known by its name in its folder: the folder's
    // identity and the name (empty for a folder output).
    struct Named {
        size_t m_nOutput = 0;
        std::string m_strFolder;
        std::string m_strName;
        uint64_t m_qwFolder = 0;
    };
    std::vector<Named> m_Named;
    // The last folder looked at, as files of one folder come in a row.
    std::string m_strLastFolder;
    uint64_t m_qwLastFolder = 0;
    bool m_bLastFolderKnown = false;
};
