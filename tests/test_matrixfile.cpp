#include "matrixfile.h"

#include <gtest/gtest.h>

#include <cstring>

#include "testutil.h"

TEST(MatrixFile, LittleEndianValuesAcrossTheBufferAndATruncatedRewrite) {
    testutil::TempDir dir;
    const std::string path = dir.file("m.bin");
    std::vector<double> ramp(40000);  // 160,000 bytes: more than one buffer
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = 0.5 * static_cast<double>(i) - 7.25;
    {
        MatrixFile out(path.c_str());
        ASSERT_TRUE(out.is_open());
        const int32_t header[2] = {-2, 0x01020304};
        const int labels[3] = {70000, -1, 5};
        out.put_int32(header, 2);
        out.put_int16(labels, 3);
        out.put_float32(ramp.data(), ramp.size());
        ASSERT_TRUE(out.close());
    }
    const auto bytes = testutil::read_file(path);
    ASSERT_EQ(bytes.size(), 8u + 6u + 4u * ramp.size());
    const std::vector<uint8_t> head = {0xFE, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01,
                                       0x70, 0x11, 0xFF, 0xFF, 0x05, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 14), head);
    for (size_t i = 0; i < ramp.size(); i += 997) {
        float v;
        std::memcpy(&v, &bytes[14 + 4 * i], 4);
        EXPECT_EQ(v, static_cast<float>(ramp[i])) << i;
    }

    ASSERT_TRUE(write_float32_matrix(path.c_str(), Matrix{{1.0}, {}, {2.0, 3.0}}));
    EXPECT_EQ(testutil::read_file(path).size(), 12u);  // the old content is gone
}

TEST(MatrixFile, FailuresAreReportedOnceWithThePath) {
    testutil::TempDir dir;
    const std::string missing = dir.file("no/such/file");
    testing::internal::CaptureStderr();
    {
        MatrixFile out(missing.c_str(), "Cannot open file: ");
        EXPECT_FALSE(out.is_open());
        const int v = 1;
        out.put_int16(&v, 1);  // ignored
        EXPECT_FALSE(out.close());
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot open file: " + missing + "\n");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(write_int16_matrix(missing.c_str(), IntMatrix{{1}}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to open file: " + missing + "\n");

    testing::internal::CaptureStderr();
    EXPECT_FALSE(write_int16_matrix("/dev/full", IntMatrix(10, std::vector<int>(32, 1))));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unable to write file: /dev/full\n");
}
