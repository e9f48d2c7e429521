#pragma once
// `hwhost push --root DIR [--wait SECONDS] FILE`: the way to apply an edited
// policy to a running sensor.  The file is checked as the sensor will check
// it (read whole, with its "\config" section), written as DIR/push.policy in
// one step, and the hwhost running on DIR (found through DIR/hwhost.pid) is
// asked to reload; the command then waits in DIR/hwhost.status for what
// became of that very file.
//
// What the reload said is printed: every error and warning the sensor
// logged while it read the policy, what any bound of the sensor or the
// host left out while it ran (however often that bound was said before),
// and those learnt about it before the push read its record, then the
// rules each engine took.
//
// Exit codes: 0 applied, and nothing amiss was said; 4 applied, with errors
// or warnings (printed: some rules may not do what the file means, or input
// was left out during the reload); 5 applied and nothing amiss, but the
// sensor is paused: no rule sees anything until it resumes (SIGUSR2);
// 1 refused (by the check or by the sensor) or the reload failed; 2 a
// command line that cannot be run; 3 not applied yet: no hwhost runs on DIR
// (the policy waits in DIR/push.policy for the next start), or no outcome
// within the wait (the hwhost asked reads it at that reload; --wait 0 asks
// and does not wait).  A paused sensor is said whatever the code.

struct HwHostOptions;

int RunPushCommand(const HwHostOptions& options);
