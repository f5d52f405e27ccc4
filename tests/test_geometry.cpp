#include "geometry.h"

#include <gtest/gtest.h>

TEST(FrameGeometry, DurationsRoundHalfAwayFromZeroAndFramesCoverTheSignal) {
    EXPECT_EQ(ms_to_samples(22050, 10), 221);  // 220.5
    EXPECT_EQ(ms_to_samples(22050, 30), 662);  // 661.5
    EXPECT_EQ(ms_to_samples(11025, 10), 110);  // 110.25
    EXPECT_EQ(ms_to_samples(44100, 30), 1323);

    struct Case { int srate; size_t n; int shift, window, nlags, nframes; };
    const Case cases[] = {
        {16000, 0, 160, 480, 240, 0},    {16000, 1, 160, 480, 240, 1},
        {16000, 160, 160, 480, 240, 1},  {16000, 161, 160, 480, 240, 2},
        {44100, 441, 441, 1323, 661, 1}, {22050, 222, 221, 662, 331, 2},
    };
    for (const Case& c : cases) {
        const FrameGeometry fr = frame_geometry(c.srate, 10, 30, c.n);
        EXPECT_EQ(fr.shift, c.shift) << c.srate;
        EXPECT_EQ(fr.window, c.window) << c.srate;
        EXPECT_EQ(fr.nlags, c.nlags) << c.srate;
        EXPECT_EQ(fr.nframes, c.nframes) << c.srate << " Hz, " << c.n << " samples";
    }
}

TEST(LagGeometry, SearchRangeFollowsTheRateAndStopsAtTheLastLag) {
    struct Case { int srate, nlags, minLag, maxLag; };
    const Case cases[] = {
        {16000, 240, 41, 223}, {8000, 120, 21, 111}, {4000, 60, 11, 55},
        {96000, 1440, 241, 1344}, {16000, 100, 41, 100},  // a short frame ends the range
    };
    for (const Case& c : cases) {
        const LagGeometry g = lag_geometry(c.srate, c.nlags);
        EXPECT_EQ(g.minLag, c.minLag) << c.srate;
        EXPECT_EQ(g.maxLag, c.maxLag) << c.srate << " Hz, " << c.nlags << " lags";
    }
}

TEST(LagScale, ConversionsKeepTheirPrecision) {
    const LagGeometry g = lag_geometry(16000, 240);
    LagRange r = lags_within_hz(g, 100, 1.0);
    EXPECT_EQ(r.lo, 99);
    EXPECT_EQ(r.hi, 101);
    r = lags_within_hz(g, 220, 10.0);
    EXPECT_EQ(r.hi, 222);  // kept below maxLag
    EXPECT_EQ(hz_apart(16000, 80, 160), 100.0);
    EXPECT_EQ(lag_hz_single(16000, 123), 130.081298828125);
    EXPECT_EQ(lag_hz_double(16000, 123), 130.08130081300814);
    EXPECT_EQ(period_lags(16000.0, 71.6), 223.0);
    r = lags_near_f0(16000, 240, 160.0);
    EXPECT_EQ(r.lo, 89);   // 180 Hz
    EXPECT_EQ(r.hi, 114);  // 140 Hz
    EXPECT_EQ(lags_near_f0(16000, 240, 80.0).hi, 239);  // 60 Hz lies beyond the frame
}
