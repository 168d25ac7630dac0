// Starting a companion program with a working folder and waiting for it with a time-out.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kv::platform {

struct ProgramResult {
    bool started = false;          // the program could be started
    bool timed_out = false;        // it did not end in time and was killed
    bool too_much_output = false;  // it wrote more than the caller takes and was killed
    int exit_code = -1;            // its exit status when it ended normally, else -1
};

// Runs argv[0] (a path) with the given arguments and working folder, standard input from
// /dev/null, and waits up to `timeout_ms`. A program still running then is killed (with its
// process group) and reaped, so no process outlives the call.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& working_folder,
                         int timeout_ms);

// As RunProgram, with the program's standard output read through a pipe into `output` and its
// standard error discarded. A program that writes more than `max_output` bytes is killed at
// once (too_much_output); `output` then holds what had arrived. The time-out covers the whole
// run, reading included.
ProgramResult RunProgramForOutput(const std::vector<std::string>& argv,
                                  const std::string& working_folder, int timeout_ms,
                                  std::size_t max_output, std::string& output);

}  // namespace kv::platform
