// Golden results: SHA-256 digests of the five result files and of the
// autocorrelogram file for a few deterministic generated inputs, recorded from
// the straightforward implementation. Any optimisation must keep every byte.
// On a mismatch the test prints the new digests; update them only for an
// intended change of results.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "acgmodel.h"
#include "auxiliary.h"
#include "corlune_main.h"
#include "testutil.h"
#include "vectors.h"

namespace {

struct GoldenCase {
    const char* name;
    int srate;
    std::function<std::vector<double>(int)> signal;
    const char* digests[6];  // .frmseg .f0cands .f0tracks .groups .mask .acg
};

std::vector<double> two_voices(int srate, double seconds) {
    return testutil::mix(testutil::harmonic_complex(srate, seconds, 110.0, 135.0, 0.25),
                         testutil::harmonic_complex(srate, seconds, 210.0, 180.0, 0.2));
}

const char* const kSuffixes[] = {".frmseg", ".f0cands", ".f0tracks", ".groups", ".mask", ".acg"};

std::vector<GoldenCase> cases() {
    return {
        {"twovoice16k", 16000, [](int r) { return two_voices(r, 1.5); }, {
             "f2d891fcc088c76938e0a2bbb95b568bf5a1dab4e5046ed0ddac7e8ccbeecdf9",
             "f75c6bb1efb72b97abc9bbfcdb884e8e43ed048ddd26be503ac3e79abb2935bc",
             "6976066786491054e003dcb82d714175b7e32f0c8318a560990f53915baa83ea",
             "967537105f0f3b2240fe4bc173b40863ca3f1af920a23a0d2e2264b97ad3660d",
             "40cbf0e59e632756a6299c1e4f2135f21f06d1d45709ca1bfd36495047fb1dd2",
             "ee7fcbd29d1fbde2720dae665576221140f8bd54645ad42d1a643368058e23d0"}},
        {"twovoice8k", 8000, [](int r) { return two_voices(r, 1.0); }, {
             "adae54b023f3d09049a483319e1e9ae48c064f73bc4c02d6df052bf2bb9df114",
             "4068eea1a84167fa0f57a97fd77d399dfc04b143cfec2817baaf3dec36face7f",
             "e40d66465ca35e559c7be98060eb3e9d4775302548e0c328a82199c8e5c5d0c9",
             "a1e2806f35058f597080347e500bce98af6ee98b9369c0f4052f8d6585866b9e",
             "0c86db744805150a832c594b60abc0154440d14a5d835bac5df74dfd91ee7688",
             "95ff3bf95f80fddb8db7af5d4be9d97533e67e1f2a147862a33cee808d3a4b79"}},
        {"twovoice44k", 44100, [](int r) { return two_voices(r, 0.5); }, {
             "5967d5d0aff0954506eeb5d44c9b5f729ea26ba64cd4c1803c58832b5c61349d",
             "97cc74dc3603e3a478d863f88fa4f4814335bd03862fb633750c05f069320217",
             "af83af8777b21f96662b80d001a1dc867a4364191861bfd366f5b94648822ad7",
             "21cee7058c091c509023afd5920203de27526012cb395523626ec196b95fa0a2",
             "ebe8468bff77445f0ef77b9032c8612c88fd3118470a4944a3ce4d9ecc1eb221",
             "d595c291433cd7918bb559817f702e4a4e2f348d70977d4b93e06e53bba8efde"}},
        {"twovoice48k", 48000, [](int r) { return two_voices(r, 0.5); }, {
             "590bdb341b007f8397b14596aad9cf19f662975dc3a093a99032c4d7429d72fc",
             "ea4253b5c3582641b94234e4080e81e99d8626f3455a55947e2b22a718ba6f1b",
             "46a677449d69c8d56ad8a0e5e3816800f30e90973cc250a999cca3c68a478212",
             "7de25f5a15a162f91f93747dff8cb05dcfba8f4e78b4119f5de071db853b3e72",
             "45106433c193ca74f9ecffbdeb1ed7ce6f08b54505aaa65b3fe5dd04292fe4f6",
             "a9960046d7a7e5d25a05f1d5b19868b93d03476b10e1dc4a764590b54432902f"}},
        {"noise16k", 16000, [](int r) { return testutil::noise(r, 1.0, 0.3, 7u); }, {
             "92635be1b099d2dd30d6f80422e3a2eee154e0bbaf744633a4f2c1d9bf7d751e",
             "9d3581040873b3f43300117c1807820f0fc8b1a3b543a2863e2b268854ab59f5",
             "a20e1bf245748464a8962913bd9510201d6af021eed0b8423f4292fc24924d4c",
             "cdcea659921ae235311a059ce96aa6f0476824e557eb25d11efa3f58ca876bcf",
             "8be6e42f7871f828515f6e7894b1488a315fcb2fef14f59ec6988722e3f74ecc",
             "e794bb53b8c5e673baa44e64016eceddecf5154b2c097cff3f2997061d4bfbac"}},
        {"silence16k", 16000, [](int r) { return std::vector<double>(r / 2, 0.0); }, {
             "5a312281df4bd8dfbb4d4a94ad0bf44d01bb8cfced1206b90e21b4ca0568cdb1",
             "67042dfda5683aead81b6055d19c4dba238341f9dd82f49c0e7cc0c19c5f10d1",
             "7a12e561363385e9dfeeab326368731c030ed4b374e7f5897ac819159d2884c5",
             "5a312281df4bd8dfbb4d4a94ad0bf44d01bb8cfced1206b90e21b4ca0568cdb1",
             "56a43ef88ddfcd0f56f7dd973312c0e73d62f59655c01d7b4e59aaa3be8b3fb6",
             "a60ffea3028041c221fd30727d51bcc49114253d63410f5cb61f24315a7275be"}},
    };
}

// Runs the program on the case's WAV file and writes the autocorrelogram beside it.
std::vector<std::string> result_digests(const GoldenCase& c, const testutil::TempDir& dir) {
    const std::string wav = dir.file(std::string(c.name) + ".wav");
    testutil::write_wav(wav, c.signal(c.srate), c.srate);
    std::string in = wav, out = dir.path().string();
    char prog[] = "corlune";
    char* argv[] = {prog, in.data(), out.data(), nullptr};
    EXPECT_EQ(run(3, argv), 0) << c.name;

    AudioWav audio;
    audio.read(wav.c_str(), 'l');
    AcgModel model;
    model.compute(audio.samples, audio.srate);
    model.output(dir.file(std::string(c.name) + ".acg").c_str());

    std::vector<std::string> digests;
    for (const char* suffix : kSuffixes)
        digests.push_back(testutil::sha256_hex(testutil::read_file(dir.file(c.name + std::string(suffix)))));
    return digests;
}

}  // namespace

// Every vector width the processor supports gives the same bytes.
TEST(Golden, ResultFilesKeepTheirRecordedBytesAtEveryVectorWidth) {
    testutil::TempDir dir;
    for (const vec::Width width : vec::supported_widths()) {
        vec::WidthLimit limit(width);
        for (const GoldenCase& c : cases()) {
            const auto got = result_digests(c, dir);
            bool same = true;
            for (int i = 0; i < 6; ++i) same &= c.digests[i] && got[i] == c.digests[i];
            if (!same) {
                std::printf("{\"%s\", ..., {", c.name);
                for (int i = 0; i < 6; ++i) std::printf("\n    \"%s\",", got[i].c_str());
                std::printf("}},\n");
            }
            EXPECT_TRUE(same) << c.name << " at vector width " << static_cast<int>(width);
        }
    }
}
