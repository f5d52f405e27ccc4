#include "options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <variant>
#include <vector>

namespace {

using FlagField = bool Options::*;
using IntField = int Options::*;
using TextField = std::string Options::*;
using ModeField = SeparationMode Options::*;
using TrackerField = TrackerKind Options::*;
using Action = ParseOutcome::Action;

// One command-line option. Exactly one of field and action applies: an
// option either sets its field of Options or ends the parse with an action.
struct OptionSpec {
    const char* long_name;
    char short_name;  // 0 when the option has no short form
    std::variant<FlagField, IntField, TextField, ModeField, TrackerField, Action> target;
    const char* metavar;       // name of the value in the usage; nullptr for flags
                               // (optional for a ModeField: --opt or --opt=V)
    int min, max;              // range of an integer value
    const char* default_text;  // nullptr: the default of Options, printed as it is
    const char* help;
};

constexpr int kMaxChannel = 1024;  // libsndfile's largest channel count
constexpr int kMaxThreads = 1024;

// The values of --separate; the first is what the option alone means.
struct ModeName {
    const char* name;
    SeparationMode mode;
};
const ModeName kSeparationModes[] = {
    {"fragments", SeparationMode::Fragments},
    {"pitch", SeparationMode::Pitch},
};

const OptionSpec kOptions[] = {
    {"channel", 'c', &Options::channel, "N", 1, kMaxChannel, "none, INPUT must be mono",
     "analyse channel N (1 = first) of a recording with several channels"},
    {"mix", 'm', &Options::mix, nullptr, 0, 0, nullptr,
     "analyse the mean of all channels"},
    {"name", 'n', &Options::name, "NAME", 0, 0, "INPUT's file name without its extension",
     "base name of the result files, a plain file name (no '/', not . or ..); "
     "required when INPUT is -"},
    {"sync", 0, &Options::sync, nullptr, 0, 0, nullptr,
     "flush the result files and OUTDIR to disk before exiting, so that a published result "
     "set survives a power failure (slower)"},
    {"threads", 't', &Options::threads, "N", 0, kMaxThreads, nullptr,
     "analyse on N threads (0: every core this process may use); the results are the same "
     "for every N"},
    {"quiet", 'q', &Options::quiet, nullptr, 0, 0, nullptr,
     "show no progress line (it is shown only when standard error is a terminal)"},
    {"separate", 0, &Options::separate, "MODE", 0, 0, "off",
     "also write the two voices and the rest of the mixture as WAV files (NAME.voice1.wav "
     "the lower voice, NAME.voice2.wav, NAME.rest.wav) and each unit's voice (NAME.voices); "
     "MODE fragments: each fragment goes whole to the voice of its pitch track; MODE pitch: "
     "besides, every unit no fragment claims goes to the voice whose pitch its periodicity "
     "follows"},
    {"tracker", 0, &Options::tracker, "NAME", 0, 0, nullptr,
     "link the F0 candidates into tracks with the rule tracker (rule) or with the joint "
     "search of two paths (joint), which keeps both talkers' pitches in more frames and "
     "pitches less noise; its tracks may coast across a few frames, claiming nothing there"},
    {"help", 'h', Action::Help, nullptr, 0, 0, nullptr, "print this text and exit"},
    {"version", 'V', Action::Version, nullptr, 0, 0, nullptr,
     "print the versions of corlune, FFTW and libsndfile and exit"},
};

struct ResultFileDoc {
    const char* suffix;
    const char* element;
    int columns;
    const char* content;
};

const ResultFileDoc kResultFiles[] = {
    {".frmseg", "int16", 32, "channel group per channel: 0 none, 1 or 2"},
    {".f0cands", "float32", 4, "F0 candidates in Hz, 0 for none"},
    {".f0tracks", "float32", 2, "F0 in Hz per track slot, 0 for none"},
    {".groups", "int16", 32, "fragment label (track identifier), 0 none"},
    {".mask", "float32", 32, "soft mask value, 0 outside fragments"},
    {".f0labels", "int16", 2, "track identifier per slot, 0 for none"},
    {".voices", "int16", 32, "voice per unit: 0 rest, 1 lower, 2 higher"},
};
// The voices' sound files; they and .voices are written with --separate only.
constexpr const char* kVoiceFilesDoc =
    "  NAME.voice1.wav, NAME.voice2.wav, NAME.rest.wav\n"
    "                 the lower and the higher voice and the rest, mono 32-bit\n"
    "                 float WAV at INPUT's sample rate\n";
constexpr const char* kSeparateOnlyDoc = "NAME.voices and the WAV files are written with --separate only.\n";
// The record of the set, published last.
constexpr const char* kRecordDoc =
    "  NAME.record    text, written last: each file's size and CRC-32\n";

const std::pair<const char*, const char*> kExitStatuses[] = {
    {"0", "the result set was published whole"},
    {"1", "the run failed and published nothing; one line on standard error names the file "
          "and says why"},
    {"2", "usage error: unknown option, missing or invalid value, argument count"},
    {"128+N", "ended by signal N (129 SIGHUP, 130 SIGINT, 143 SIGTERM) after one line; "
              "nothing published unless the signal came while the set was being published"},
};

// getopt_long's value of an option without a short form: kLongOnly + its
// index in kOptions, so that every option has a value of its own.
constexpr int kLongOnly = 256;

// The option that getopt_long's value c stands for.
const OptionSpec* find_option(int c) {
    const int index = c - kLongOnly;
    if (index >= 0 && index < static_cast<int>(std::size(kOptions))) return &kOptions[index];
    for (const OptionSpec& o : kOptions)
        if (o.short_name != 0 && o.short_name == c) return &o;
    return nullptr;
}

std::string option_label(const OptionSpec& o) {
    std::string label = o.short_name ? std::string("-") + o.short_name + ", " : "    ";
    label += std::string("--") + o.long_name;
    if (std::holds_alternative<ModeField>(o.target)) label += std::string("[=") + o.metavar + "]";
    else if (o.metavar) label += std::string("=") + o.metavar;
    return label;
}

// "a, b" or "a": the names of the modes.
std::string mode_names() {
    std::string names;
    for (const ModeName& m : kSeparationModes) names += (names.empty() ? "" : ", ") + std::string(m.name);
    return names;
}

// "integer 1 to 1024; default: ..." for the line below an option's help.
std::string type_and_default(const OptionSpec& o) {
    static const Options defaults;
    std::ostringstream s;
    if (const auto* f = std::get_if<IntField>(&o.target)) {
        s << "integer " << o.min << " to " << o.max << "; default: ";
        if (o.default_text) s << o.default_text;
        else s << defaults.*(*f);
    } else if (const auto* b = std::get_if<FlagField>(&o.target)) {
        s << "flag; default: " << (o.default_text ? o.default_text : defaults.*(*b) ? "on" : "off");
    } else if (const auto* t = std::get_if<TextField>(&o.target)) {
        s << "text; default: " << (o.default_text ? o.default_text : (defaults.*(*t)).c_str());
    } else if (std::holds_alternative<ModeField>(o.target)) {
        s << "one of " << mode_names() << "; alone: " << kSeparationModes[0].name
          << "; default: " << o.default_text;
    } else if (const auto* k = std::get_if<TrackerField>(&o.target)) {
        s << "one of " << tracker_names() << "; default: " << tracker_name(defaults.*(*k));
    }
    return s.str();
}

bool parse_int(const char* text, int min, int max, int& value) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
    value = static_cast<int>(v);
    return true;
}

// Stores the value of o in opt; returns false with error set when the
// value is not one the option takes.
bool apply(const OptionSpec& o, const char* value, Options& opt, std::string& error) {
    if (const auto* f = std::get_if<IntField>(&o.target)) {
        if (parse_int(value, o.min, o.max, opt.*(*f))) return true;
        error = std::string("invalid value '") + value + "' for --" + o.long_name + ": expected an integer from " +
                std::to_string(o.min) + " to " + std::to_string(o.max);
        return false;
    }
    if (const auto* m = std::get_if<ModeField>(&o.target)) {
        if (!value) {
            opt.*(*m) = kSeparationModes[0].mode;
            return true;
        }
        for (const ModeName& mode : kSeparationModes)
            if (std::string(value) == mode.name) {
                opt.*(*m) = mode.mode;
                return true;
            }
        error = std::string("invalid value '") + value + "' for --" + o.long_name + ": expected " +
                mode_names();
        return false;
    }
    if (const auto* b = std::get_if<FlagField>(&o.target)) opt.*(*b) = true;
    if (const auto* t = std::get_if<TextField>(&o.target)) opt.*(*t) = value;
    if (const auto* k = std::get_if<TrackerField>(&o.target)) {
        if (tracker_kind(value, opt.*(*k))) return true;
        error = std::string("invalid value '") + value + "' for --" + o.long_name +
                ": expected one of " + tracker_names();
        return false;
    }
    return true;
}

// The rules between options and positional arguments.
std::string check_combination(const Options& opt) {
    if (opt.channel != 0 && opt.mix) return "--channel and --mix exclude each other";
    if (opt.input == "-" && opt.name.empty())
        return "reading standard input (-) needs --name NAME for the result files";
    if (!opt.name.empty() && !valid_result_name(opt.name))
        return "invalid --name '" + opt.name + "': give a plain file name (no '/', not . or ..)";
    return "";
}

std::string short_options() {
    std::string s = "+:";  // stop at the first positional; report a missing value as ':'
    for (const OptionSpec& o : kOptions) {
        if (!o.short_name) continue;
        s += o.short_name;
        if (o.metavar) s += ':';
    }
    return s;
}

std::vector<option> long_options() {
    std::vector<option> opts;
    for (std::size_t i = 0; i < std::size(kOptions); ++i) {
        const OptionSpec& o = kOptions[i];
        const int has_arg = std::holds_alternative<ModeField>(o.target) ? optional_argument
                            : o.metavar                                 ? required_argument
                                                                        : no_argument;
        opts.push_back({o.long_name, has_arg, nullptr,
                        o.short_name ? o.short_name : kLongOnly + static_cast<int>(i)});
    }
    opts.push_back({nullptr, 0, nullptr, 0});
    return opts;
}

// The text of an option as the user typed it, for a message.
std::string offending(int argc, char** argv, int c) {
    if (c != 0 && c != '?' && c != ':') return std::string("-") + static_cast<char>(c);
    const int at = optind - 1;
    return at >= 1 && at < argc ? argv[at] : "?";
}

// Text wrapped into lines of at most kHelpWidth columns, each after indent
// spaces; the first line continues a label of first_used columns.
constexpr std::size_t kHelpWidth = 79;
constexpr std::size_t kHelpIndent = 22;

std::string wrapped(const std::string& text, std::size_t first_used, std::size_t indent = kHelpIndent) {
    std::istringstream words(text);
    std::string out, word;
    std::size_t column = first_used;
    bool line_start = true;
    while (words >> word) {
        if (!line_start && column + 1 + word.size() > kHelpWidth) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
            line_start = true;
        }
        if (!line_start) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        line_start = false;
    }
    return out + "\n";
}

ParseOutcome usage_error(std::string text) {
    return {Action::UsageError, std::move(text)};
}

}  // namespace

bool valid_result_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

ParseOutcome parse_command_line(int argc, char** argv, Options& opt) {
    const std::string shorts = short_options();
    const std::vector<option> longs = long_options();
    optind = 0;  // restart getopt's scan (GNU), so that run() can be called again
    opterr = 0;
    for (;;) {
        int index = -1;
        const int c = getopt_long(argc, argv, shorts.c_str(), longs.data(), &index);
        if (c == -1) break;
        if (c == '?') {
            const std::string typed = offending(argc, argv, 0);
            const OptionSpec* flag = find_option(optopt);
            if (flag && typed.rfind("--", 0) == 0)
                return usage_error(std::string("option --") + flag->long_name + " takes no value");
            if (optopt && optopt < kLongOnly)
                return usage_error(std::string("unknown option -") + static_cast<char>(optopt));
            return usage_error("unknown option " + typed);
        }
        if (c == ':') {
            return usage_error("option " + offending(argc, argv, 0) + " needs a value");
        }
        const OptionSpec* o = index >= 0 ? &kOptions[index] : find_option(c);
        if (!o) return usage_error("unknown option " + offending(argc, argv, c));
        if (const auto* action = std::get_if<Action>(&o->target)) return {*action, ""};
        std::string error;
        if (!apply(*o, optarg, opt, error)) return usage_error(error);
    }
    const int positional = argc - optind;
    if (positional != 2)
        return usage_error("expected INPUT and OUTDIR after the options, got " +
                           std::to_string(positional) + " argument" + (positional == 1 ? "" : "s"));
    opt.input = argv[optind];
    opt.outdir = argv[optind + 1];
    const std::string conflict = check_combination(opt);
    if (!conflict.empty()) return usage_error(conflict);
    return {};
}

std::string usage_synopsis() {
    return "Usage: corlune [OPTION]... INPUT OUTDIR\n"
           "Try 'corlune --help' for more information.\n";
}

std::string help_text() {
    std::ostringstream s;
    s << "Usage: corlune [OPTION]... INPUT OUTDIR\n"
         "Computational auditory scene analysis of one recorded utterance: a 32-channel\n"
         "gammatone filterbank and autocorrelogram, channels grouped frame by frame by\n"
         "shared periodicity, at most two F0 tracks, and the fragments they claim.\n"
         "\n"
         "INPUT is an audio file (WAV, FLAC, AIFF, NIST SPHERE, CAF, W64, RF64, Ogg, MP3\n"
         "and the other formats libsndfile reads) at 4000 to 192000 Hz, or - for standard\n"
         "input. OUTDIR is an existing directory; the results are OUTDIR/NAME.SUFFIX.\n"
         "\n"
         "Options:\n";
    for (const OptionSpec& o : kOptions) {
        std::string label = "  " + option_label(o);
        // A label too long for its column has the help on the lines below.
        if (label.size() >= kHelpIndent) label += "\n" + std::string(kHelpIndent - 1, ' ');
        label.resize(std::max(label.size() + 1, kHelpIndent), ' ');
        s << label << wrapped(o.help, label.size() - label.rfind('\n') - 1);
        const std::string detail = type_and_default(o);
        if (!detail.empty()) s << std::string(kHelpIndent, ' ') << wrapped(detail, kHelpIndent);
    }
    s << "\nResult files, headerless little-endian matrices with one row per 10 ms frame:\n";
    for (const ResultFileDoc& r : kResultFiles) {
        std::string file = std::string("  NAME") + r.suffix, element = r.element;
        file.resize(17, ' ');
        element.resize(8, ' ');
        s << file << element << (r.columns < 10 ? " " : "") << r.columns << " columns  " << r.content
          << "\n";
    }
    s << kVoiceFilesDoc << kRecordDoc << kSeparateOnlyDoc;
    s << "\nExit status:\n";
    for (const auto& [status, meaning] : kExitStatuses) {
        std::string label = std::string("  ") + status;
        label.resize(9, ' ');
        s << label << wrapped(meaning, label.size(), label.size());
    }
    return s.str();
}
