// Command-line options of corlune: one table of options that both the GNU
// style parser (getopt_long: --opt=V, --opt V, -o V; options before the two
// positional arguments) and the usage text are generated from.
//
// Adding an option is one field in Options and one entry in the table in
// options.cpp; its help line, default and range then appear in --help.
//
//   Options opt;
//   const ParseOutcome p = parse_command_line(argc, argv, opt);
//   if (p.action == ParseOutcome::Action::UsageError) { std::cerr << p.error ...; return 2; }
#pragma once

#include <string>

#include "trackers.h"

// What --separate makes of the analysis: nothing (the default), the
// voices of the fragments grouped by F0 (--separate, --separate=fragments),
// or every unit labelled by the voices' pitches (--separate=pitch).
enum class SeparationMode { None, Fragments, Pitch };

// The settings of one run; the defaults are those of a plain
// `corlune INPUT OUTDIR`.
struct Options {
    int channel = 0;    // 1-based channel to analyse; 0 = none chosen
    bool mix = false;   // analyse the mean of all channels
    std::string name;   // base name of the result files; empty = from INPUT
    bool sync = false;  // flush results and OUTDIR to disk before exiting
    int threads = 1;    // threads of the analysis; 0 = every core the process may use
    bool quiet = false; // no progress line on a terminal
    SeparationMode separate = SeparationMode::None;  // voices, their masks' WAVs and .voices
    TrackerKind tracker = kDefaultTracker;  // the pitch tracker
    std::string input;  // INPUT: a path, or "-" for standard input
    std::string outdir; // OUTDIR
};

struct ParseOutcome {
    enum class Action { Run, Help, Version, UsageError };
    Action action = Action::Run;
    std::string error;  // for UsageError: one line, without the program name
};

// Parses argv into opt. A usage error is an unknown option, a missing or
// malformed value, a value out of range, conflicting options, or a wrong
// number of positional arguments.
ParseOutcome parse_command_line(int argc, char** argv, Options& opt);

// The synopsis lines printed after a usage error.
std::string usage_synopsis();
// The full text of --help: synopsis, options with type, default and range,
// result files with their element types, and the exit statuses.
std::string help_text();

// True when name can be a result base name: not empty, no '/', not "." or "..".
bool valid_result_name(const std::string& name);
