// Starting a companion program with a working folder and waiting for it with a time-out.
#pragma once

#include <string>
#include <vector>

namespace kv::platform {

struct ProgramResult {
    bool started = false;    // the program could be started
    bool timed_out = false;  // it did not end in time and was killed
    int exit_code = -1;      // its exit status when it ended normally, else -1
};

// Runs argv[0] (a path) with the given arguments and working folder, standard input from
// /dev/null, and waits up to `timeout_ms`. A program still running then is killed (with its
// process group) and reaped, so no process outlives the call.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& working_folder,
                         int timeout_ms);

}  // namespace kv::platform
