// Tests of the command-line parser and the usage text made from its table.
#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Action = ParseOutcome::Action;

struct Parsed {
    ParseOutcome outcome;
    Options opt;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "corlune");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed p;
    p.outcome = parse_command_line(static_cast<int>(args.size()), argv.data(), p.opt);
    return p;
}

}  // namespace

TEST(Options, ValuesInEveryGnuForm) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--channel=2", "--name=utt", "in.wav", "out"},
             {"--channel", "2", "--name", "utt", "in.wav", "out"},
             {"-c", "2", "-n", "utt", "in.wav", "out"},
             {"-c2", "-nutt", "in.wav", "out"},
             {"--chan=2", "--na", "utt", "in.wav", "out"}}) {  // unique abbreviations
        const Parsed p = parse(args);
        EXPECT_EQ(p.outcome.action, Action::Run) << p.outcome.error;
        EXPECT_EQ(p.opt.channel, 2);
        EXPECT_FALSE(p.opt.mix);
        EXPECT_EQ(p.opt.name, "utt");
        EXPECT_EQ(p.opt.input, "in.wav");
        EXPECT_EQ(p.opt.outdir, "out");
    }
    const Parsed plain = parse({"in.wav", "out"});
    EXPECT_EQ(plain.outcome.action, Action::Run);
    EXPECT_EQ(plain.opt.channel, 0);
    EXPECT_TRUE(plain.opt.name.empty());
    EXPECT_TRUE(parse({"-m", "in.wav", "out"}).opt.mix);
    EXPECT_TRUE(parse({"--sync", "in.wav", "out"}).opt.sync);
    EXPECT_EQ(plain.opt.threads, 1);
    EXPECT_FALSE(plain.opt.quiet);
    EXPECT_EQ(parse({"--threads=0", "in.wav", "out"}).opt.threads, 0);
    EXPECT_EQ(parse({"-t", "3", "-q", "in.wav", "out"}).opt.threads, 3);
    EXPECT_TRUE(parse({"--quiet", "in.wav", "out"}).opt.quiet);
    // --separate takes its mode only after '=': a word after it is INPUT.
    EXPECT_EQ(plain.opt.separate, SeparationMode::None);
    EXPECT_EQ(parse({"--separate", "in.wav", "out"}).opt.separate, SeparationMode::Fragments);
    EXPECT_EQ(parse({"--separate=fragments", "in.wav", "out"}).opt.separate, SeparationMode::Fragments);
    EXPECT_EQ(parse({"--separate=pitch", "in.wav", "out"}).opt.separate, SeparationMode::Pitch);
    EXPECT_EQ(parse({"--sep", "in.wav", "out"}).opt.separate, SeparationMode::Fragments);
    EXPECT_EQ(parse({"--separate", "fragments", "out"}).opt.input, "fragments");
    EXPECT_EQ(plain.opt.tracker, TrackerKind::Rule);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--tracker=joint", "in.wav", "out"}, {"--tracker", "joint", "in.wav", "out"},
             {"--tr=rule", "--tracker=joint", "in.wav", "out"}})  // the last one counts
        EXPECT_EQ(parse(args).opt.tracker, TrackerKind::Joint);
    EXPECT_EQ(parse({"--tracker=rule", "in.wav", "out"}).opt.tracker, TrackerKind::Rule);
    // "--" ends the options, so an input may start with a dash.
    const Parsed dashed = parse({"--mix", "--", "-odd.wav", "out"});
    EXPECT_EQ(dashed.outcome.action, Action::Run);
    EXPECT_EQ(dashed.opt.input, "-odd.wav");
    const Parsed stdin_input = parse({"--name", "utt", "-", "out"});
    EXPECT_EQ(stdin_input.outcome.action, Action::Run);
    EXPECT_EQ(stdin_input.opt.input, "-");
}

TEST(Options, UsageErrorsSayWhatIsWrong) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "expected INPUT and OUTDIR after the options, got 0 arguments"},
        {{"in.wav"}, "expected INPUT and OUTDIR after the options, got 1 argument"},
        {{"in.wav", "out", "extra"}, "expected INPUT and OUTDIR after the options, got 3 arguments"},
        {{"in.wav", "out", "--mix"}, "expected INPUT and OUTDIR after the options, got 3 arguments"},
        {{"--frobnicate", "in.wav", "out"}, "unknown option --frobnicate"},
        {{"--frob=1", "in.wav", "out"}, "unknown option --frob=1"},
        {{"-x", "in.wav", "out"}, "unknown option -x"},
        {{"--mix=yes", "in.wav", "out"}, "option --mix takes no value"},
        {{"--sync=yes", "in.wav", "out"}, "option --sync takes no value"},  // no short form
        {{"in.wav", "out", "--channel"}, "expected INPUT and OUTDIR after the options, got 3 arguments"},
        {{"--channel"}, "option --channel needs a value"},
        {{"-c"}, "option -c needs a value"},
        {{"--channel=two", "in.wav", "out"},
         "invalid value 'two' for --channel: expected an integer from 1 to 1024"},
        {{"--channel=0", "in.wav", "out"},
         "invalid value '0' for --channel: expected an integer from 1 to 1024"},
        {{"-c", "1025", "in.wav", "out"},
         "invalid value '1025' for --channel: expected an integer from 1 to 1024"},
        {{"-c", "99999999999999", "in.wav", "out"},
         "invalid value '99999999999999' for --channel: expected an integer from 1 to 1024"},
        {{"-c", "1", "-m", "in.wav", "out"}, "--channel and --mix exclude each other"},
        {{"--threads=-1", "in.wav", "out"},
         "invalid value '-1' for --threads: expected an integer from 0 to 1024"},
        {{"-t", "all", "in.wav", "out"},
         "invalid value 'all' for --threads: expected an integer from 0 to 1024"},
        {{"-", "out"}, "reading standard input (-) needs --name NAME for the result files"},
        {{"--separate=tracks", "in.wav", "out"}, "invalid value 'tracks' for --separate: expected fragments, pitch"},
        {{"--separate=", "in.wav", "out"}, "invalid value '' for --separate: expected fragments, pitch"},
        {{"--separate", "fragments", "in.wav", "out"},
         "expected INPUT and OUTDIR after the options, got 3 arguments"},
        {{"--tracker=Joint", "in.wav", "out"},
         "invalid value 'Joint' for --tracker: expected one of rule, joint"},
        {{"--tracker=", "in.wav", "out"}, "invalid value '' for --tracker: expected one of rule, joint"},
        {{"--tracker"}, "option --tracker needs a value"},
    };
    for (const auto& [args, error] : cases) {
        const Parsed p = parse(args);
        EXPECT_EQ(p.outcome.action, Action::UsageError) << error;
        EXPECT_EQ(p.outcome.error, error);
    }
}

TEST(Options, ResultNamesMustStayInsideOutdir) {
    for (const char* bad : {"a/b", "/abs", ".", "..", "x/", ""}) {
        EXPECT_FALSE(valid_result_name(bad)) << bad;
        const Parsed p = parse({std::string("--name=") + bad, "-", "out"});
        EXPECT_EQ(p.outcome.action, Action::UsageError) << bad;
    }
    EXPECT_EQ(parse({"--name=a/b", "in.wav", "out"}).outcome.error,
              "invalid --name 'a/b': give a plain file name (no '/', not . or ..)");
    for (const char* good : {"utt", ".hidden", "...", "a.b", "s10 bgakzn"})
        EXPECT_TRUE(valid_result_name(good)) << good;
}

TEST(Options, HelpAndVersionWinOverEverythingElse) {
    EXPECT_EQ(parse({"-h"}).outcome.action, Action::Help);
    EXPECT_EQ(parse({"--help", "in.wav"}).outcome.action, Action::Help);
    EXPECT_EQ(parse({"-c", "2", "--version"}).outcome.action, Action::Version);
    EXPECT_EQ(parse({"-V"}).outcome.action, Action::Version);
    // Parsing twice in one process starts afresh.
    EXPECT_EQ(parse({"-c", "3", "a", "b"}).opt.channel, 3);
    EXPECT_EQ(parse({"-c", "4", "a", "b"}).opt.channel, 4);
}

TEST(Options, HelpTextDescribesOptionsResultsAndExitStatuses) {
    const std::string help = help_text();
    for (const char* part :
         {"Usage: corlune [OPTION]... INPUT OUTDIR\n", "  -c, --channel=N ", "integer 1 to 1024; default: none",
          "  -m, --mix ", "flag; default: off", "  -n, --name=NAME ", "text; default: INPUT's file name",
          "      --sync ", "  -t, --threads=N ", "integer 0 to 1024; default: 1", "  -q, --quiet ",
          "  -h, --help ", "  -V, --version ", "      --separate[=MODE]\n",
          "one of fragments, pitch; alone: fragments; default: off", "NAME.voices    int16   32 columns",
          "NAME.voice1.wav, NAME.voice2.wav, NAME.rest.wav\n", "NAME.frmseg    int16   32 columns",
          "      --tracker=NAME ", "one of rule, joint; default: rule",
          "NAME.f0cands   float32  4 columns", "NAME.f0tracks  float32  2 columns",
          "NAME.groups    int16   32 columns", "NAME.mask      float32 32 columns",
          "NAME.f0labels  int16    2 columns", "NAME.record    text, written last",
          "\nExit status:\n", "  0      the result set was published whole", "  1      the run failed",
          "  2      usage error", "  128+N  ended by signal N"})
        EXPECT_NE(help.find(part), std::string::npos) << part;
    size_t start = 0;
    while (start < help.size()) {
        const size_t end = help.find('\n', start);
        EXPECT_LE(end - start, 79u) << help.substr(start, end - start);
        start = end + 1;
    }
    EXPECT_EQ(usage_synopsis(),
              "Usage: corlune [OPTION]... INPUT OUTDIR\nTry 'corlune --help' for more information.\n");
}
