// The command-line driver of corlune: the options (options.h), naming of the
// result files and the list of them a run publishes (publisher.h), reading
// the input (audioinput.h), the order of the analysis pipeline, and every
// message of a run.
//
// main() calls run(); the naming helpers are exposed for tests:
//   char* argv[] = {"corlune", "--channel=2", "in.flac", "out", nullptr};
//   const int status = run(4, argv);
#pragma once

#include <string>

// Exit statuses of the program.
enum ExitStatus { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

// The utterance name: the file-name part of path without its extension.
std::string base_name(const std::string& path);

// OUTDIR with a '/' appended unless it already ends in one.
std::string output_directory(const std::string& outdir);

// Runs the whole program on argc/argv and returns the exit status.
int run(int argc, char** argv);
