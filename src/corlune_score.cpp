// corlune-score: scores the voices corlune separates from a two-talker
// mixture against its premixed sources (scoring.h), as a table and one JSON
// line.
//
//     corlune-score [--json] [--tracker=rule|joint] MIXTURE SOURCE1 SOURCE2
//
// The three recordings are mono, of one sample rate and length; every
// format the analysis reads is read. Exit status 0 after the scores, 1 when
// a recording is unreadable or refused (one line on standard error says
// why), 2 on a usage error.
#include <getopt.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "audioinput.h"
#include "resynth.h"
#include "scoring.h"
#include "separate.h"

namespace {

constexpr std::size_t kReadFrames = 65536;

const char kUsage[] =
    "Usage: corlune-score [--json] [--tracker=NAME] MIXTURE SOURCE1 SOURCE2\n"
    "Scores the two voices that corlune separates from MIXTURE (labelled by fragment\n"
    "and by pitch) against its premixed sources SOURCE1 and SOURCE2 (mono\n"
    "recordings of one rate and length, MIXTURE being their sum), beside the ideal\n"
    "binary mask and ideal sequential grouping.\n"
    "\n"
    "  --json          print only the JSON line\n"
    "  --tracker=NAME  the pitch tracker of the analysis: rule (the default) or joint\n"
    "  -h, --help      print this text and exit\n"
    "\n"
    "Prints a table (SNR and SI-SDR in dB, their gains over the mixture, HIT-FA of\n"
    "each binary mask against the source's ideal binary mask) and then one JSON line.\n"
    "Exit status: 0 scored, 1 a recording unreadable or refused, 2 usage error.\n";

struct Recording {
    std::vector<double> samples;
    int srate = 0;
};

// Reads the mono recording at path whole; false after one line.
bool read_recording(const std::string& path, Recording& r) {
    AudioInput in;
    if (!in.open(path)) {
        std::cerr << "corlune-score: " << in.error() << ": " << path << std::endl;
        return false;
    }
    if (in.format().channels != 1) {
        std::cerr << "corlune-score: recording has " << in.format().channels
                  << " channels, the scorer takes mono recordings: " << path << std::endl;
        return false;
    }
    r.srate = in.format().srate;
    while (in.read(r.samples, kReadFrames, SignalChoice::one(0)) > 0) {}
    if (in.failed()) {
        std::cerr << "corlune-score: " << in.error() << ": " << path << std::endl;
        return false;
    }
    return true;
}

// A number for JSON: null when not finite.
std::string json_number(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

// A number for the table.
std::string cell(double v) {
    char buf[32];
    if (std::isnan(v)) return "-";
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

double mean(double a, double b) { return 0.5 * (a + b); }

std::string json_method(const VoiceScore v[2]) {
    std::ostringstream o;
    auto pair = [&](const char* key, double a, double b) {
        o << ",\"" << key << "\":[" << json_number(a) << "," << json_number(b) << "]";
    };
    o << "{\"source\":[" << v[0].source << "," << v[1].source << "]";
    pair("snr", v[0].snr, v[1].snr);
    pair("snr_gain", v[0].snrGain, v[1].snrGain);
    pair("si_sdr", v[0].sisdr, v[1].sisdr);
    pair("si_sdr_gain", v[0].sisdrGain, v[1].sisdrGain);
    pair("hit_fa", v[0].hitFa, v[1].hitFa);
    o << ",\"mean\":{\"snr_gain\":" << json_number(mean(v[0].snrGain, v[1].snrGain))
      << ",\"si_sdr_gain\":" << json_number(mean(v[0].sisdrGain, v[1].sisdrGain))
      << ",\"hit_fa\":" << json_number(mean(v[0].hitFa, v[1].hitFa)) << "}}";
    return o.str();
}

std::string json_line(const std::string& path, const Recording& mix, const VoiceAnalysis& a,
                      const SeparationScores& s) {
    std::ostringstream o;
    std::string name;
    for (char ch : path) {
        if (ch == '"' || ch == '\\') name += '\\';
        if (static_cast<unsigned char>(ch) >= 0x20) name += ch;
    }
    const VoiceGrouping& g = a.grouping;
    o << "{\"mixture\":\"" << name << "\",\"srate\":" << mix.srate
      << ",\"samples\":" << mix.samples.size() << ",\"frames\":" << a.nframes
      << ",\"tracks\":" << g.tracks.size() << ",\"one_voice\":" << (g.oneVoice ? "true" : "false")
      << ",\"voice_f0\":[" << json_number(g.centreF0[0]) << "," << json_number(g.centreF0[1]) << "]"
      << ",\"track_conflicts\":" << g.conflicts << ",\"mixture_residual_db\":"
      << json_number(s.mixtureResidualDb) << ",\"unprocessed\":{\"snr\":["
      << json_number(s.mixtureSnr[0]) << "," << json_number(s.mixtureSnr[1]) << "],\"si_sdr\":["
      << json_number(s.mixtureSiSdr[0]) << "," << json_number(s.mixtureSiSdr[1]) << "]}"
      << ",\"ibm\":" << json_method(s.ibm) << ",\"ideal_grouping\":" << json_method(s.ideal)
      << ",\"voices\":" << json_method(s.voices) << ",\"pitch\":" << json_method(s.pitch) << "}";
    return o.str();
}

void print_table(const std::string& path, const Recording& mix, const VoiceAnalysis& a,
                 const SeparationScores& s) {
    const VoiceGrouping& g = a.grouping;
    std::printf("%s: %.2f s at %d Hz, %d frames; %zu tracks, ", path.c_str(),
                static_cast<double>(mix.samples.size()) / mix.srate, mix.srate, a.nframes,
                g.tracks.size());
    if (g.oneVoice)
        std::printf("taken as one voice at %.1f Hz\n", g.centreF0[0]);
    else
        std::printf("voices at %.1f and %.1f Hz\n", g.centreF0[0], g.centreF0[1]);
    if (!(s.mixtureResidualDb >= 30.0))
        std::printf("warning: the mixture differs from the sum of the sources (%.1f dB)\n",
                    s.mixtureResidualDb);
    std::printf("%-18s %5s %6s %7s %7s %7s %7s %7s\n", "mask", "voice", "source", "SNR", "gain",
                "SI-SDR", "gain", "HIT-FA");
    for (int k = 0; k < 2; ++k)
        std::printf("%-18s %5d %6d %7s %7s %7s %7s %7s\n", "mixture", k + 1, k + 1,
                    cell(s.mixtureSnr[k]).c_str(), "", cell(s.mixtureSiSdr[k]).c_str(), "", "");
    const std::pair<const char*, const VoiceScore*> methods[] = {
        {"ideal binary mask", s.ibm}, {"ideal grouping", s.ideal}, {"voice grouping", s.voices},
        {"pitch labels", s.pitch}};
    for (const auto& [name, v] : methods) {
        for (int k = 0; k < 2; ++k)
            std::printf("%-18s %5d %6d %7s %7s %7s %7s %7s\n", name, k + 1, v[k].source,
                        cell(v[k].snr).c_str(), cell(v[k].snrGain).c_str(), cell(v[k].sisdr).c_str(),
                        cell(v[k].sisdrGain).c_str(), cell(v[k].hitFa).c_str());
        std::printf("%-18s %5s %6s %7s %7s %7s %7s %7s\n", name, "mean", "", "",
                    cell(mean(v[0].snrGain, v[1].snrGain)).c_str(), "",
                    cell(mean(v[0].sisdrGain, v[1].sisdrGain)).c_str(),
                    cell(mean(v[0].hitFa, v[1].hitFa)).c_str());
    }
}

int score(const std::vector<std::string>& paths, bool jsonOnly, TrackerKind tracker) {
    Recording rec[3];
    for (int i = 0; i < 3; ++i)
        if (!read_recording(paths[i], rec[i])) return 1;
    for (int i = 1; i < 3; ++i)
        if (rec[i].srate != rec[0].srate) {
            std::cerr << "corlune-score: source " << i << " is at " << rec[i].srate
                      << " Hz, the mixture at " << rec[0].srate << " Hz: " << paths[i] << std::endl;
            return 1;
        }
    std::string why = check_signal(rec[0].samples, rec[0].srate);
    if (why.empty()) why = check_sources(rec[0].samples, rec[1].samples, rec[2].samples);
    if (!why.empty()) {
        std::cerr << "corlune-score: " << why << ": " << paths[0] << std::endl;
        return 1;
    }
    const VoiceAnalysis a = analyse_voices(rec[0].samples, rec[0].srate, tracker);
    const SeparationScores s = score_separation(rec[0].samples, rec[1].samples, rec[2].samples,
                                                rec[0].srate, a);
    if (!a.error.empty() || !s.error.empty()) {
        std::cerr << "corlune-score: " << (a.error.empty() ? s.error : a.error) << ": " << paths[0]
                  << std::endl;
        return 1;
    }
    if (!jsonOnly) print_table(paths[0], rec[0], a, s);
    std::printf("%s\n", json_line(paths[0], rec[0], a, s).c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    static const option kLong[] = {{"json", no_argument, nullptr, 'j'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"tracker", required_argument, nullptr, 't'},
                                   {nullptr, 0, nullptr, 0}};
    bool jsonOnly = false;
    TrackerKind tracker = kDefaultTracker;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "+h", kLong, nullptr)) != -1;) {
        if (c == 'j') {
            jsonOnly = true;
        } else if (c == 'h') {
            std::cout << kUsage;
            return 0;
        } else if (c == 't' && !tracker_kind(optarg, tracker)) {
            std::cerr << "corlune-score: invalid value '" << optarg
                      << "' for --tracker: expected one of " << tracker_names() << "\n"
                      << kUsage;
            return 2;
        } else if (c != 't') {
            std::cerr << "corlune-score: unknown option " << argv[optind - 1] << "\n" << kUsage;
            return 2;
        }
    }
    if (argc - optind != 3) {
        std::cerr << "corlune-score: three recordings needed, " << argc - optind << " given\n"
                  << kUsage;
        return 2;
    }
    try {
        return score({argv[optind], argv[optind + 1], argv[optind + 2]}, jsonOnly, tracker);
    } catch (const std::bad_alloc&) {
        std::cerr << "corlune-score: out of memory" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "corlune-score: internal error: " << e.what() << std::endl;
    }
    return 1;
}
