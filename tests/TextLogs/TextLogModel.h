#pragma once
// A seeded model of the text-log engine's promise: within a log group,
// every line is reported once, whatever a writer, an operator or another
// program does to the group's files between the engine's passes.
//
// A run makes files in a scratch folder, under names two groups match
// ("All": *.log; "Ayes": a*), and drives the real engine pass by pass
// (RunPass, no sleeps) while a seeded generator writes whole and partial
// lines (some with NUL bytes inside, some longer than a piece of 4,095
// bytes used to be, or than a line is matched whole, with a marker across
// the end of a piece or of the reader's buffer), through writers with and
// without O_APPEND, renames (numbered chains a.log -> a.1.log -> a.2.log,
// swaps, away to a folder no group watches and back), makes symbolic and
// hard links, leaves holes of a GiB before lines (a writer seeking far
// past the end), writes lines of one width numbered anywhere in them and
// runs of NULs before lines, truncates (to nothing, or back to a line
// already read, or to nothing and written over before the engine looks,
// with new lines or with the very bytes it held),
// deletes, makes files anew, pauses the engine (its passes count from 0
// again, as a new run of its thread does), stalls it (many steps between
// two passes) and reloads its policy.  In half the runs (on a generator of
// their own, so a seed's steps are what they were) a file cut under the
// engine is read again a few bytes a turn, one round of turns a pass, so
// that the reading again that shows what the file still holds goes on
// over passes, with the steps between them.
//
// Which lines the engine owes a group is defined by what the group can see:
//  - At each pass the engine looks at the names it follows: every name the
//    group's patterns matched at the last scan or the one before it (scans
//    begin every fifth pass, from 0 in each run, unless one is under way),
//    and at the pass that scans the group also every name they match then.
//    A scan takes every group in its pass, or, in half the runs (on a
//    generator of their own), one group a pass in order of their names, as
//    a machine too busy to give a scan's slice any time leaves them; a
//    reload gives up a scan under way.  Nothing of a run goes by the clock:
//    a pass reads all there is (or one round of turns, below).  A file one of those names leads to then
//    (through links of the sensor's own account) is "seen" by the group.
//  - A line is owed to the group when its file is seen by the group at a
//    pass after the line was written (its line feed), with no truncation of
//    the file in between: it must be reported exactly once in that group.
//  - Lines a file holds when the group's first scan sees it (at the
//    engine's first pass, or the next when scans take a group a pass) are
//    history: never reported.  A line begun there and not finished then is
//    not: once its writer finishes it, it is owed as any other line, whole;
//    while it is not finished it is history, never reported, also when the
//    file is let go.
//  - A line begun and not finished is owed to a group that saw its file
//    after it was begun, once the group lets the file go (no name of the
//    group leads to it at the end); it is never reported while the group
//    follows the file.  A line with a marker is owed to the rule "Marker"
//    as to the rule "Lines".
//  - Any other line written may be reported at most once in each group (a
//    file the engine still reads after its names went, say); nothing that
//    was not written may be reported.
//  - Besides, the sensor's own alert file lies among the group's files
//    (alerts.log, which both groups match), written with lines the rules
//    match and named as the host names its outputs (plat::OwnOutputs)
//    before a line is written to it; it is rotated as operators and
//    logrotate rotate it, on the generator of the steps added since the
//    first (so a seed's other steps are what they were): renamed to alerts.log.1 and on, and
//    opened anew now or a few steps later (the SIGHUP), copied to a
//    rotated name and truncated, compressed to a rotated name, renamed to
//    names the groups match (arch.log, alerts.1.log), linked, removed.  No
//    line of it may ever be reported, under any name.
//  - The run ends with a stop, after a few passes (none, too, so that
//    files made by the last steps are met by the stop alone) or after
//    enough for every file to be read and let go; in two runs of three (on
//    a generator of their own) with the process short of descriptors, none
//    above the floor kept free or none at all, which changes nothing of
//    what is owed.  The stop looks once
//    more, as a pass that scans every group does (a scan under way is given
//    up): a file its names lead to then is seen by the group at the stop,
//    and what it holds is owed.  The stop lets every file go, so a line
//    begun and not finished in a file the group saw since it was begun is
//    owed then too.
//  - No file is cut while the engine's last pass left lines to read (in
//    the runs that read one round of turns a pass).
//  - A cut back to a line already read keeps the lines before it: they stay
//    owed, and none is reported again.  A cut to a non-zero size is made
//    only where the engine can tell what it kept: below where each group
//    that saw the file read it to at the last pass, at the end of one of
//    the file's first lines or within the last bytes read, in a file no
//    group holds history of.
//  - A file copied away and truncated may be written again before the
//    engine looks, with lines of one width that differ only in a number
//    anywhere in them, to fewer, as many or more bytes than were read:
//    every line written after the cut is owed.  A file written again byte
//    for byte up to one of its line ends (and maybe on) may have the lines
//    it holds again taken for those read, or read again: each may be
//    reported once more for each time it was written again, and what such
//    a rewrite took need not be counted; lines written on after it are
//    owed.
//  - A run of NULs written before a line is no part of it: the line is
//    owed as any other.
//  - A truncation that takes lines written since a pass that saw the file
//    (which the engine had read up to then) is a loss the engine must count
//    (TextLogLosses::m_qwTruncations), once for each group reading the
//    file; the engine counts no more truncations than there were, and no
//    file gone before it could be opened (nothing here can go between a
//    look and the open that follows it).

#include <cstdint>
#include <string>

class TextLogModel {
public:
    struct Result {
        bool m_bPassed = true;
        // The first promise broken, with the steps that led to it.
        std::string m_strFailure;
        uint64_t m_qwSteps = 0;
        uint64_t m_qwPasses = 0;
        uint64_t m_qwLines = 0;
        // Lines owed to a group, summed over the groups, and reports made.
        uint64_t m_qwOwed = 0;
        uint64_t m_qwReports = 0;
        // Of what the generator made: cuts to a non-zero size, cuts under a
        // writer without O_APPEND, lines with a marker (long ones), and
        // unfinished lines owed when their files were let go.
        uint64_t m_qwCutsToASize = 0;
        uint64_t m_qwCutsUnderOffsetWriters = 0;
        uint64_t m_qwMarkerLines = 0;
        uint64_t m_qwUnfinishedOwed = 0;
        // Holes a writer left by seeking far past the end before its lines.
        uint64_t m_qwHolesAhead = 0;
        // Lines written to the sensor's own alert file, and its rotations
        // (by rename, by copy, by compression, to a name the groups match).
        uint64_t m_qwOwnLines = 0;
        uint64_t m_qwOwnRotations = 0;
        // Unfinished lines owed at the stop, of files the group still
        // followed then.
        uint64_t m_qwUnfinishedAtStop = 0;
        // The run stopped with the process short of descriptors.
        bool m_bStopShortOfDescriptors = false;
        // Lines a group's first scan met begun and not finished, owed once
        // their writers ended them.
        uint64_t m_qwBegunAtFirstScanOwed = 0;
        // Lines of one width numbered anywhere in them, runs of NULs
        // written before a line, cuts written over before the engine
        // looked, and files written again as they were.
        uint64_t m_qwFixedLines = 0;
        uint64_t m_qwNulRuns = 0;
        uint64_t m_qwCutsWrittenOver = 0;
        uint64_t m_qwWrittenAgain = 0;
        // The run read files again after cuts a few bytes a turn, one round
        // of turns a pass, so the reading again went on over passes; and the
        // passes that ended with a file still being read again.
        bool m_bRereadsOverPasses = false;
        // The run's scans took one group a pass.
        bool m_bScansOverPasses = false;
        uint64_t m_qwPassesMidReread = 0;
    };

    // How the run's scans are sliced: as its seed draws, or one group a
    // pass whatever it draws.
    enum class Scans { kBySeed, kOneGroupAPass };

    // Runs `dwSteps` steps of the generator seeded with `qwSeed`, then
    // passes without steps until every file is read and let go, and checks.
    static Result Run(uint64_t qwSeed, uint32_t dwSteps, Scans scans = Scans::kBySeed);
};
