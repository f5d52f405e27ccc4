#include "testutil.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testutil {

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

void put_u16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(v & 0xFF);
    b.push_back(v >> 8);
}

void put_u32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xFF);
}

void put_tag(std::vector<uint8_t>& b, const char* tag) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(tag[i]));
}

std::vector<uint8_t> wav_bytes(const std::vector<int16_t>& pcm, int srate, int channels) {
    std::vector<uint8_t> b;
    const uint32_t data = static_cast<uint32_t>(pcm.size() * 2);
    put_tag(b, "RIFF");
    put_u32(b, 36 + data);
    put_tag(b, "WAVE");
    put_tag(b, "fmt ");
    put_u32(b, 16);
    put_u16(b, 1);
    put_u16(b, static_cast<uint16_t>(channels));
    put_u32(b, static_cast<uint32_t>(srate));
    put_u32(b, static_cast<uint32_t>(srate * channels * 2));
    put_u16(b, static_cast<uint16_t>(channels * 2));
    put_u16(b, 16);
    put_tag(b, "data");
    put_u32(b, data);
    for (int16_t s : pcm) put_u16(b, static_cast<uint16_t>(s));
    return b;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> read_file(const std::string& path) {
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

RunResult run_corlune(const std::vector<std::string>& args) {
    TempDir capture;
    const std::string out = capture.file("stdout"), err = capture.file("stderr");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(CORLUNE_EXE));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(CORLUNE_EXE, argv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    RunResult r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.out = slurp_and_remove(out);
    r.err = slurp_and_remove(err);
    return r;
}

}  // namespace testutil
