// Ambient particle field: fifty glowing motes rising through the top band
// of the frame, swaying and pulsing, drawn from one 20 x 20 glow sprite.
// Platform-neutral; draws through the canvas seam, seeds rand() from the
// clock seam. The only time base is g_state.tick.
#pragma once
#include <cstdint>

#include "platform/canvas.h"

// Seven single-precision fields; the arithmetic on them is float on purpose
// so every platform moves the motes the same way.
struct Particle {
    float x;           // centre, design units (never wrapped)
    float y;           // centre, design units; decreasing is rising
    float speed;       // rise per tick, design units
    float drift;       // signed factor of the sideways sway
    float phase;       // offset of the sway and pulse cycles, ticks
    float size;        // edge of the drawn square, px
    float brightness;  // peak opacity factor, 0-1
};

constexpr int ParticleCount = 50;
constexpr int GlowSpriteSize = 20;  // px, square
// Motes whose truncated y lies below this row are not drawn, so respawned
// ones stay hidden until they have risen into the band.
constexpr int ParticleLowestRow = 270;

// Zero until InitParticles; user-interface thread only.
extern Particle g_particles[ParticleCount];

// Seeds rand() with the tick count and gives every particle a random start.
void InitParticles();
// Advances every particle by one tick; g_state.tick is the new tick.
void StepParticles();

// Where and how strongly one particle is blended at the given tick: the
// destination square and the constant alpha (0-255). False when the
// particle is below the band and not drawn.
struct ParticleBlend {
    int left, top;  // px, top-left corner of the square
    int edge;       // px, width and height of the square
    int alpha;      // 0-255
};
bool PlaceParticle(const Particle *particle, int32_t tick, ParticleBlend *out);

// Blends every visible particle onto the frame with the glow sprite.
// Does nothing when the sprite could not be made.
void DrawParticles(Canvas *canvas);

// The 20 x 20 premultiplied glow, rows top-down, 0xAARRGGBB: the colour
// (220, 238, 255) scaled by a = 255 * k^3 (truncated), k = 1 - d / 10 with d
// the distance of the pixel centre from the sprite centre; 0 where k < 0.
void BuildGlowPixels(uint32_t out[GlowSpriteSize * GlowSpriteSize]);
// Makes the glow sprite once; on failure there is none and nothing draws.
void CreateGlowSprite();
// The glow sprite, or nullptr when it does not exist.
const CanvasImage *GlowSprite();
