// The particle array, its random start, the per-tick motion, the glow
// sprite and the particle layer of the frame. Platform-neutral: rand() for
// the randomness (any sequence will do, it is never reproduced), the clock
// seam for the seed, the canvas seam for the sprite and the blending.
#include "render/particles.h"

#include <cmath>
#include <cstdlib>

#include "base/state.h"
#include "platform/clock.h"
#include "render/layout.h"

Particle g_particles[ParticleCount];

static CanvasImage *s_glowSprite;  // made once, never released

constexpr float RespawnAboveY = -12.0f;  // design units; strictly below respawns
constexpr float RespawnY = 280.0f;       // design units, under the visible band

void InitParticles() {
    srand(TickCountMs());
    for (Particle &p : g_particles) {
        // One rand() call per field, in field order.
        p.x = float(rand() % DesignWidth);
        p.y = float(rand() % 260);
        p.speed = float(rand() % 100) / 160.0f + 0.12f;
        p.drift = float(rand() % 100) / 50.0f - 1.0f;
        p.phase = float(rand() % 628);
        p.size = float(rand() % 12 + 7);
        p.brightness = float(rand() % 100) / 240.0f + 0.3f;
    }
}

void StepParticles() {
    int32_t t = g_state.tick;
    for (Particle &p : g_particles) {
        p.y = p.y - p.speed;
        // The sway is a velocity: x accumulates it, swinging up to
        // 15 * |drift| px either side over about 314 ticks.
        float sway = float(std::sin(double(float(t) + p.phase) * 0.02));
        p.x = p.x + sway * 0.3f * p.drift;
        if (p.y < RespawnAboveY) {
            p.y = RespawnY;
            p.x = float(rand() % DesignWidth);
        }
    }
}

bool PlaceParticle(const Particle *p, int32_t tick, ParticleBlend *out) {
    int yi = int(p->y);  // truncation toward zero: -11.5 is row -11
    if (yi > ParticleLowestRow) return false;
    int edge = int(p->size);
    int half = edge / 2;
    // The pulse has a period of about 105 ticks; at its top alpha reaches
    // brightness * 255.
    double pulse = 0.5 * std::sin(double(float(tick) + p->phase) * 0.06) + 0.5;
    int alpha = int(pulse * p->brightness * 255.0);
    if (alpha < 0) alpha = 0;
    if (alpha > 255) alpha = 255;
    int xi = int(p->x);
    *out = {xi - half, yi - half, edge, alpha};
    return true;
}

void DrawParticles(Canvas *canvas) {
    if (s_glowSprite == nullptr) return;
    for (const Particle &p : g_particles) {
        ParticleBlend blend;
        if (!PlaceParticle(&p, g_state.tick, &blend)) continue;
        BlendImage(canvas, s_glowSprite, blend.left, blend.top, blend.edge, blend.edge, 0, 0, GlowSpriteSize,
                   GlowSpriteSize, blend.alpha, true);
    }
}

void BuildGlowPixels(uint32_t out[GlowSpriteSize * GlowSpriteSize]) {
    for (int r = 0; r < GlowSpriteSize; r++) {
        for (int c = 0; c < GlowSpriteSize; c++) {
            double d = std::sqrt((c - 9.5) * (c - 9.5) + (r - 9.5) * (r - 9.5));
            double k = 1.0 - d / 10.0;
            uint32_t pixel = 0;
            if (k >= 0) {
                uint32_t a = uint32_t(255.0 * k * k * k);
                // Premultiplied: each channel already scaled by a.
                pixel = a << 24 | (a * 220 / 255) << 16 | (a * 238 / 255) << 8 | a;
            }
            out[r * GlowSpriteSize + c] = pixel;
        }
    }
}

void CreateGlowSprite() {
    uint32_t pixels[GlowSpriteSize * GlowSpriteSize];
    BuildGlowPixels(pixels);
    s_glowSprite = CreateImage(GlowSpriteSize, GlowSpriteSize, pixels);
}

const CanvasImage *GlowSprite() { return s_glowSprite; }
