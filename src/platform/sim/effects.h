// The agent's durable effects on the simulated machine, counted since its last boot, and
// the power cut that [fault] crash_at=K in machine.ini plans at the K-th of them.
//
// An effect is a change that outlives the process: a registry change (key created or
// deleted, value set or deleted, hive loaded or unloaded), a profile entry written, a
// file created, written, copied, moved or deleted, its attributes set, a folder created
// or removed, a process started. The log file and the serial port are not effects, nor
// a call that leaves everything as it was. Only the agent's processes count them (its
// main turns counting on): tarvik-sim's own changes are the developer's, not the agent's.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/sim/machine.h"

namespace tarvik::sim {

// This process is the agent: its effects count.
void count_durable_effects();

// Called just before an effect. Counts it; when it is the one crash_at names, it does not
// happen: the power is lost here. Every process this one started is killed, the fault is
// taken out of machine.ini (it fires once), sim/power.lost records K, a machine that runs
// from the medium (X:) gets its X: drive back as it was at the boot's start, and this
// process dies at once (SIGKILL: no destructor runs, nothing is flushed).
void durable_effect(const Machine& m);

// A child this process started: a power cut ends it (and its process group).
void note_child_started(pid_t pid);

// The effects counted since the last boot.
uint64_t effects_since_boot(const Machine& m);
// The effect at which the power was lost in this boot, or 0.
uint64_t power_lost_at(const Machine& m);

}  // namespace tarvik::sim
