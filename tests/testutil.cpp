#include "testutil.h"

#include <sndfile.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testutil {

Matrix candidate_rows(std::initializer_list<std::vector<double>> rows) {
    Matrix m;
    for (std::vector<double> r : rows) {
        r.resize(4, 0.0);
        m.push_back(r);
    }
    return m;
}

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "corlune-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::vector<double> harmonic_complex(int srate, double seconds, double f0a, double f0b,
                                     double amplitude) {
    const int n = static_cast<int>(srate * seconds);
    std::vector<double> x(n, 0.0);
    double phase = 0.0;
    for (int t = 0; t < n; ++t) {
        const double f0 = f0a + (f0b - f0a) * t / std::max(1, n - 1);
        phase += 2.0 * M_PI * f0 / srate;
        double v = 0.0;
        for (int h = 1; h * f0 < 0.45 * srate && h <= 40; ++h)
            v += std::sin(h * phase) / h;
        x[t] = amplitude * v / 2.0;
    }
    return x;
}

std::vector<double> sine(int srate, double seconds, double freq, double amplitude) {
    const int n = static_cast<int>(srate * seconds);
    std::vector<double> x(n);
    for (int t = 0; t < n; ++t) x[t] = amplitude * std::sin(2.0 * M_PI * freq * t / srate);
    return x;
}

std::vector<double> noise(int srate, double seconds, double amplitude, unsigned seed) {
    const int n = static_cast<int>(srate * seconds);
    std::mt19937 gen(seed);
    std::vector<double> x(n);
    for (int t = 0; t < n; ++t)
        x[t] = amplitude * (static_cast<double>(gen()) / 4294967295.0 * 2.0 - 1.0);
    return x;
}

std::vector<double> mix(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> x(std::max(a.size(), b.size()), 0.0);
    for (size_t i = 0; i < a.size(); ++i) x[i] += a[i];
    for (size_t i = 0; i < b.size(); ++i) x[i] += b[i];
    return x;
}

std::vector<int16_t> to_pcm16(const std::vector<double>& x) {
    std::vector<int16_t> pcm(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        double v = std::round(x[i] * 32767.0);
        if (v > 32767.0) v = 32767.0;
        if (v < -32768.0) v = -32768.0;
        pcm[i] = static_cast<int16_t>(v);
    }
    return pcm;
}

void put_u16(Bytes& b, uint16_t v) {
    b.push_back(v & 0xFF);
    b.push_back(v >> 8);
}

void put_u32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xFF);
}

void put_tag(Bytes& b, const char* tag) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(tag[i]));
}

Bytes chunk(const char* tag, const Bytes& body) {
    Bytes b;
    put_tag(b, tag);
    put_u32(b, static_cast<uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() % 2) b.push_back(0);
    return b;
}

Bytes wav_image(const std::vector<int16_t>& pcm, const WavSpec& s) {
    Bytes fmt;
    const uint32_t block = static_cast<uint32_t>(s.channels) * s.bits / 8;
    put_u16(fmt, s.code);
    put_u16(fmt, s.channels);
    put_u32(fmt, s.rate);
    put_u32(fmt, s.rate * block);
    put_u16(fmt, static_cast<uint16_t>(block));
    put_u16(fmt, s.bits);
    fmt.insert(fmt.end(), s.fmt_extension.begin(), s.fmt_extension.end());

    Bytes body;
    put_tag(body, "WAVE");
    body.insert(body.end(), s.before_fmt.begin(), s.before_fmt.end());
    const Bytes f = chunk("fmt ", fmt);
    body.insert(body.end(), f.begin(), f.end());
    body.insert(body.end(), s.before_data.begin(), s.before_data.end());
    put_tag(body, "data");
    put_u32(body, s.data_size.value_or(static_cast<uint32_t>(pcm.size() * 2)));
    for (int16_t v : pcm) put_u16(body, static_cast<uint16_t>(v));
    body.insert(body.end(), s.after_data.begin(), s.after_data.end());

    Bytes b;
    put_tag(b, "RIFF");
    put_u32(b, static_cast<uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

Bytes wav_bytes(const std::vector<int16_t>& pcm, int srate, int channels) {
    WavSpec s;
    s.rate = static_cast<uint32_t>(srate);
    s.channels = static_cast<uint16_t>(channels);
    return wav_image(pcm, s);
}

void write_audio(const std::string& path, const std::vector<int16_t>& pcm, int srate, int channels,
                 int format) {
    SF_INFO info{};
    info.samplerate = srate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
    const sf_count_t frames = static_cast<sf_count_t>(pcm.size()) / channels;
    const int encoding = format & SF_FORMAT_SUBMASK;
    sf_count_t written;
    if (encoding == SF_FORMAT_FLOAT || encoding == SF_FORMAT_DOUBLE) {
        std::vector<double> x(pcm.size());
        for (size_t i = 0; i < pcm.size(); ++i) x[i] = pcm[i] / 32768.0;
        written = sf_writef_double(f, x.data(), frames);
    } else {
        written = sf_writef_short(f, pcm.data(), frames);
    }
    sf_close(f);
    if (written != frames) throw std::runtime_error("short write to " + path);
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

Bytes read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_wav(const std::string& path, const std::vector<double>& x, int srate) {
    write_file(path, wav_bytes(to_pcm16(x), srate));
}

static std::string slurp_and_remove(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return s;
}

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif
#else
constexpr bool kSanitizerBuild = false;
#endif

// In the child: caps memory so that an allocation beyond it fails (the
// sanitizer reserves terabytes of address space, so there its allocator
// is capped instead and made to report failure as std::bad_alloc).
void limit_memory(uint64_t bytes) {
    if (kSanitizerBuild) {
        const std::string opts = "allocator_may_return_null=1:max_allocation_size_mb=" +
                                 std::to_string(bytes >> 20);
        setenv("ASAN_OPTIONS", opts.c_str(), 1);
        return;
    }
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
}

// Writes bytes into fd and closes it; stops quietly when the reader is gone.
void feed(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
}

}  // namespace

bool sanitizer_build() { return kSanitizerBuild; }

FifoWriter::FifoWriter(const std::string& path, Bytes bytes) {
    if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed: " + path);
    signal(SIGPIPE, SIG_IGN);  // the reader may stop early
    thread_ = std::thread([path, bytes = std::move(bytes)] {
        const int fd = open(path.c_str(), O_WRONLY);
        if (fd >= 0) feed(fd, bytes);
    });
}

FifoWriter::~FifoWriter() { thread_.join(); }

namespace {

// In a forked child: standard output and error to the capture files,
// standard input as setup says (bytes through the pipe's read end).
void redirect(const TempDir& capture, const RunSetup& setup, const int pipefd[2]) {
    if (!freopen(capture.file("stdout").c_str(), "w", stdout) ||
        !freopen(capture.file("stderr").c_str(), "w", stderr))
        _exit(127);
    if (setup.stdin_pipe || setup.stdin_fd >= 0) {
        dup2(setup.stdin_pipe ? pipefd[0] : setup.stdin_fd, STDIN_FILENO);
        if (setup.stdin_pipe) {
            close(pipefd[0]);
            close(pipefd[1]);
        }
    } else {
        const std::string in = setup.stdin_file.empty() ? "/dev/null" : setup.stdin_file;
        if (!freopen(in.c_str(), "r", stdin)) _exit(127);
    }
}

}  // namespace

Child::Child(pid_t pid, std::unique_ptr<TempDir> capture) : pid_(pid), capture_(std::move(capture)) {}

Child::~Child() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

std::string Child::err_so_far() const {
    std::ifstream f(capture_->file("stderr"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

RunResult Child::wait() {
    int wstatus = 0;
    waitpid(pid_, &wstatus, 0);
    pid_ = -1;
    RunResult r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    r.out = slurp_and_remove(capture_->file("stdout"));
    r.err = slurp_and_remove(capture_->file("stderr"));
    return r;
}

Child start_program(const std::string& exe, const std::vector<std::string>& args, const RunSetup& setup) {
    auto capture = std::make_unique<TempDir>();
    int pipefd[2] = {-1, -1};
    if (setup.stdin_pipe && pipe(pipefd) != 0) throw std::runtime_error("pipe failed");
    signal(SIGPIPE, SIG_IGN);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        redirect(*capture, setup, pipefd);
        if (setup.memory_limit) limit_memory(setup.memory_limit);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    if (setup.stdin_pipe) {
        close(pipefd[0]);
        feed(pipefd[1], *setup.stdin_pipe);
    }
    return Child(pid, std::move(capture));
}

Child start_corlune(const std::vector<std::string>& args, const RunSetup& setup) {
    return start_program(CORLUNE_EXE, args, setup);
}

RunResult run_corlune(const std::vector<std::string>& args, const RunSetup& setup) {
    return start_corlune(args, setup).wait();
}

Child start_in_child(const std::function<int()>& body) {
    auto capture = std::make_unique<TempDir>();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        redirect(*capture, {}, nullptr);
        const int status = body();
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        _exit(status);
    }
    return Child(pid, std::move(capture));
}

std::vector<bool> loader_accepts(const std::vector<std::string>& prefixes, std::string* why) {
    std::vector<std::string> args = {
        "-c",
        "import sys\n"
        "sys.path.insert(0, sys.argv[1])\n"
        "from corlune import results as cr\n"
        "for prefix in sys.argv[2:]:\n"
        "    try:\n"
        "        cr.load(prefix)\n"
        "        print('accepted')\n"
        "    except cr.ResultFileError as e:\n"
        "        print('refused')\n"
        "        print(e, file=sys.stderr)\n",
        std::string(CORLUNE_SOURCE_DIR) + "/python"};
    args.insert(args.end(), prefixes.begin(), prefixes.end());
    const RunResult r = start_program("/usr/bin/python3", args).wait();
    if (r.status != 0) throw std::runtime_error("loader failed: " + r.err);
    if (why) *why = r.err;
    std::vector<bool> verdicts;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) verdicts.push_back(line == "accepted");
    if (verdicts.size() != prefixes.size()) throw std::runtime_error("loader gave no verdict: " + r.out);
    return verdicts;
}

Snapshot snapshot(const fs::path& dir) {
    Snapshot s;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        s[name] = e.is_directory() ? Bytes{'<', 'd', 'i', 'r', '>'} : read_file(e.path().string());
    }
    return s;
}

}  // namespace testutil

namespace testutil {

namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(uint32_t h[8], const uint8_t* block) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t(block[4 * i]) << 24) | (uint32_t(block[4 * i + 1]) << 16) |
               (uint32_t(block[4 * i + 2]) << 8) | uint32_t(block[4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                            kRoundConstants[i] + w[i];
        const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += k;
}

}  // namespace

std::string sha256_hex(const std::vector<uint8_t>& bytes) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::vector<uint8_t> m(bytes);
    const uint64_t bits = static_cast<uint64_t>(bytes.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    for (size_t off = 0; off < m.size(); off += 64) compress(h, m.data() + off);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (uint32_t v : h)
        for (int i = 7; i >= 0; --i) out += hex[(v >> (4 * i)) & 0xF];
    return out;
}

}  // namespace testutil
