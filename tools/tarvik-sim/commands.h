// The verbs of tarvik-sim. Each takes the arguments after its verb and returns the
// tool's exit code (2 for bad arguments or a malformed guest file).
#pragma once

#include <string>

// reg.exe's arguments and output on the guest at root.
int reg_command(int argc, char** argv, const std::string& root);

namespace tarvik_sim {

// Says on standard error how the verb is used (its synopsis); returns 2.
int usage_error(const char* verb);

int init_command(int argc, char** argv);
// Converts one hive file between .reg text and a real Windows hive.
int hive_command(int argc, char** argv);
int calls_command(int argc, char** argv, const std::string& root);
int stamp_command(int argc, char** argv, const std::string& root);
int reboot_command(int argc, char** argv, const std::string& root);
// What a restart forgets: volatile keys, hive mounts, DOS device names.
void forget_boot_state(const std::string& root);
// A restart (from another drive with --from), then the agent's automatic services.
int boot_command(int argc, char** argv, const std::string& root);
// What changed on the guest since a snapshot.
int snapshot_command(int argc, char** argv, const std::string& root);
int diff_command(int argc, char** argv, const std::string& root);
// The agent's durable effects since the last boot.
int effects_command(int argc, char** argv, const std::string& root);
// Serves ROOT/metadata over HTTP until SIGINT or SIGTERM: becomes tarvik-sim-metadata.
int metadata_command(int argc, char** argv, const std::string& root);

}  // namespace tarvik_sim
