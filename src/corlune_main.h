// The command-line driver of corlune: argument handling, naming of the result
// files, the output-directory probe and the order of the analysis pipeline.
//
// main() calls run(); the naming helpers are exposed for tests.
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
