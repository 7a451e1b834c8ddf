// Particle start values, motion, respawn, placement of the drawn square and
// its pulse, and the glow sprite's pixels. No canvas needed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "base/state.h"
#include "render/particles.h"

static void ClearParticles() { std::memset(g_particles, 0, sizeof g_particles); }

TEST(Particle, StartValuesLieInTheirRanges) {
    ClearParticles();
    InitParticles();
    bool varied = false;
    for (int i = 0; i < ParticleCount; i++) {
        const Particle &p = g_particles[i];
        SCOPED_TRACE(i);
        EXPECT_TRUE(p.x >= 0 && p.x <= 1279 && p.x == std::floor(p.x));
        EXPECT_TRUE(p.y >= 0 && p.y <= 259 && p.y == std::floor(p.y));
        EXPECT_TRUE(p.speed >= 0.119f && p.speed <= 0.73876f);
        EXPECT_TRUE(p.drift >= -1.0f && p.drift <= 0.9801f);
        EXPECT_TRUE(p.phase >= 0 && p.phase <= 627 && p.phase == std::floor(p.phase));
        EXPECT_TRUE(p.size >= 7 && p.size <= 18 && p.size == std::floor(p.size));
        EXPECT_TRUE(p.brightness >= 0.2999f && p.brightness <= 0.71251f);
        varied = varied || p.x != g_particles[0].x;
    }
    EXPECT_TRUE(varied);
}

TEST(Particle, StepRisesBySpeedAndSwayAccumulatesIntoX) {
    ClearParticles();
    Particle &p = g_particles[0];
    p = {100.0f, 100.0f, 0.5f, -0.5f, 28.0f, 9.0f, 0.5f};
    float x = 100.0f;
    for (int32_t tick = 40; tick < 43; tick++) {
        g_state.tick = tick;
        StepParticles();
        float sway = float(std::sin(double(tick + 28) * 0.02));
        x = x + sway * 0.3f * -0.5f;
        EXPECT_FLOAT_EQ(p.x, x);
    }
    EXPECT_FLOAT_EQ(p.y, 98.5f);
    EXPECT_LT(p.x, 100.0f - 3 * 0.15f * 0.69f);  // three steps of the sway, not one offset
    EXPECT_FLOAT_EQ(g_particles[1].x, 0.0f);      // drift 0 never sways
    g_state.tick = 0;
}

TEST(Particle, RespawnOnlyStrictlyBelowMinus12AndOnlyXAndYChange) {
    ClearParticles();
    g_particles[0] = {500.0f, -12.0f, 0.0f, 0.0f, 3.0f, 8.0f, 0.4f};
    g_particles[1] = {500.0f, -12.01f, 0.0f, 0.25f, 3.0f, 8.0f, 0.4f};
    g_particles[2] = {500.0f, -11.5f, 0.75f, 0.0f, 3.0f, 8.0f, 0.4f};
    StepParticles();
    EXPECT_FLOAT_EQ(g_particles[0].y, -12.0f);
    EXPECT_FLOAT_EQ(g_particles[0].x, 500.0f);
    const Particle &r = g_particles[1];
    EXPECT_FLOAT_EQ(r.y, 280.0f);
    EXPECT_TRUE(r.x >= 0 && r.x <= 1279 && r.x == std::floor(r.x));
    EXPECT_FLOAT_EQ(r.speed, 0.0f);
    EXPECT_FLOAT_EQ(r.drift, 0.25f);
    EXPECT_FLOAT_EQ(r.phase, 3.0f);
    EXPECT_FLOAT_EQ(r.size, 8.0f);
    EXPECT_FLOAT_EQ(r.brightness, 0.4f);
    EXPECT_FLOAT_EQ(g_particles[2].y, 280.0f);  // -12.25 after the rise
}

TEST(Particle, PlacementTruncatesSkipsBelowTheBandAndPulses) {
    ParticleBlend b;
    Particle p = {600.7f, 200.9f, 0.5f, 0.0f, 0.0f, 7.9f, 0.3f};
    ASSERT_TRUE(PlaceParticle(&p, 0, &b));
    EXPECT_EQ(b.left, 597);  // 7 x 7, 3 px up and left of (600, 200)
    EXPECT_EQ(b.top, 197);
    EXPECT_EQ(b.edge, 7);
    EXPECT_EQ(b.alpha, 38);  // pulse 0.5 at tick 0, phase 0

    p.size = 18.0f;
    ASSERT_TRUE(PlaceParticle(&p, 0, &b));
    EXPECT_EQ(b.left, 591);
    EXPECT_EQ(b.edge, 18);

    p.y = 270.9f;
    ASSERT_TRUE(PlaceParticle(&p, 0, &b));
    EXPECT_EQ(b.top, 261);
    p.y = 271.0f;
    EXPECT_FALSE(PlaceParticle(&p, 0, &b));
    p.y = 280.0f;
    EXPECT_FALSE(PlaceParticle(&p, 0, &b));

    // Near the top and left the position truncates toward zero.
    p = {-3.7f, -11.5f, 0.5f, 0.0f, 0.0f, 7.0f, 0.3f};
    ASSERT_TRUE(PlaceParticle(&p, 0, &b));
    EXPECT_EQ(b.left, -6);
    EXPECT_EQ(b.top, -14);

    // Peak and trough of the pulse; out-of-range brightness clamps at 255.
    p.brightness = 0.7125f;
    ASSERT_TRUE(PlaceParticle(&p, 26, &b));
    EXPECT_EQ(b.alpha, 181);
    ASSERT_TRUE(PlaceParticle(&p, 79, &b));
    EXPECT_EQ(b.alpha, 0);
    p.phase = 20.0f;  // the pulse follows tick + phase
    ASSERT_TRUE(PlaceParticle(&p, 6, &b));
    EXPECT_EQ(b.alpha, 181);
    p.brightness = 1.5f;
    ASSERT_TRUE(PlaceParticle(&p, 6, &b));
    EXPECT_EQ(b.alpha, 255);
}

static int Alpha(uint32_t pixel) { return int(pixel >> 24); }

TEST(ParticleGlow, RadialFalloffRowsCentreAndCoverage) {
    uint32_t px[GlowSpriteSize * GlowSpriteSize];
    BuildGlowPixels(px);
    const int row3[20] = {0, 0, 0, 0, 0, 2, 4, 7, 9, 10, 10, 9, 7, 4, 2, 0, 0, 0, 0, 0};
    const int row6[20] = {0, 0, 1, 4, 10, 20, 32, 47, 60, 68, 68, 60, 47, 32, 20, 10, 4, 1, 0, 0};
    const int row9[20] = {0, 0, 3, 10, 22, 41, 68, 105, 152, 204, 204, 152, 105, 68, 41, 22, 10, 3, 0, 0};
    int nonZero = 0;
    for (int c = 0; c < 20; c++) {
        SCOPED_TRACE(c);
        EXPECT_EQ(px[c], 0u);
        EXPECT_EQ(Alpha(px[3 * 20 + c]), row3[c]);
        EXPECT_EQ(Alpha(px[6 * 20 + c]), row6[c]);
        EXPECT_EQ(Alpha(px[9 * 20 + c]), row9[c]);
    }
    for (int r = 0; r < 20; r++) {
        for (int c = 0; c < 20; c++) {
            uint32_t v = px[r * 20 + c];
            EXPECT_EQ(v, px[(19 - r) * 20 + c]);  // mirrored top to bottom
            EXPECT_EQ(v, px[r * 20 + 19 - c]);    // and left to right
            if (v != 0) nonZero++;
        }
    }
    EXPECT_EQ(nonZero, 216);
    // Premultiplied (220, 238, 255) at a = 204: red 176, green 190, blue 204.
    for (int i : {9 * 20 + 9, 9 * 20 + 10, 10 * 20 + 9, 10 * 20 + 10}) EXPECT_EQ(px[i], 0xCCB0BECCu);
    EXPECT_EQ(px[6 * 20 + 9], 0x443A3F44u);  // a = 68: (58, 63, 68)
}
