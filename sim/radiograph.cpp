// The synthetic radiograph: a grey picture of three lower teeth in their
// bone, drawn at any size, the same for the same size and sequence number.
//
// The scene is laid out in design units on a 512 x 768 portrait sensor,
// y growing downwards as the picture is seen upright: three lower teeth with
// their crowns up, roots down into the alveolar bone, and a periapical
// lesion at the middle tooth's root tip. Every pixel maps to design units,
// so other sizes show the same picture scaled. Whatever depends on one
// coordinate only is worked out once per row or per column.
#include "radiograph.h"

#include <cmath>
#include <cstdint>
#include <vector>

constexpr float DESIGN_WIDTH = 512.0f;
constexpr float DESIGN_HEIGHT = 768.0f;
constexpr BYTE MARKER_LEVEL = 255;
constexpr float BRIGHTEST_ANATOMY = 240.0f;  // the marker alone reaches 255

struct Tooth {
    float centre;     // x of the long axis at the neck
    float tilt;       // x shift per unit of y
    float top;        // incisal or occlusal edge
    float neck;       // cemento-enamel junction
    float apex;       // root tip
    float halfWidth;  // widest half-width of the crown
};

constexpr int TOOTH_COUNT = 3;
constexpr Tooth TEETH[TOOTH_COUNT] = {
    {104.0f, -0.05f, 150.0f, 330.0f, 640.0f, 68.0f},
    {262.0f, 0.02f, 135.0f, 325.0f, 675.0f, 72.0f},
    {418.0f, 0.06f, 158.0f, 335.0f, 630.0f, 66.0f},
};
constexpr int LESION_TOOTH = 1;
constexpr float LESION_RADIUS = 34.0f;

// Grey levels added by each tissue over the air in front of the teeth.
constexpr float AIR_LEVEL = 22.0f;
constexpr float SOFT_TISSUE = 30.0f;
constexpr float BONE = 80.0f;
constexpr float DENTINE = 135.0f;
constexpr float ENAMEL = 75.0f;
constexpr float PULP = -65.0f;
constexpr float NOISE_SPREAD = 4.0f;

// The orientation mark: an upright "L" in the top-left corner, so a viewer
// can tell a flipped or mirrored picture at a glance.
static bool InMarker(float x, float y)
{
    bool stem = x >= 16.0f && x < 28.0f && y >= 16.0f && y < 80.0f;
    bool foot = x >= 16.0f && x < 56.0f && y >= 68.0f && y < 80.0f;
    return stem || foot;
}

static float Clamp01(float v)
{
    return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
}

// 1 well inside a half-width, 0 outside, a soft edge about two units wide;
// nothing at all for a width of zero.
static float Inside(float halfWidth, float distance)
{
    return halfWidth > 0.0f ? Clamp01((halfWidth - distance) * 0.5f + 0.5f) : 0.0f;
}

static uint32_t Hash(uint32_t x, uint32_t y)
{
    uint32_t h = x * 374761393u + y * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

// Smooth value noise in [0, 1) on a lattice of `cell` design units over the
// whole sensor: the trabecular pattern of the bone. Fixed, like the anatomy
// it stands for, and tabulated once per image.
struct NoiseGrid {
    float cell;
    int columns;
    std::vector<float> values;
};

static NoiseGrid MakeNoiseGrid(float cell, uint32_t salt)
{
    NoiseGrid grid;
    grid.cell = cell;
    grid.columns = static_cast<int>(DESIGN_WIDTH / cell) + 2;
    int rows = static_cast<int>(DESIGN_HEIGHT / cell) + 2;
    grid.values.resize(static_cast<size_t>(grid.columns) * rows);
    for (int j = 0; j < rows; ++j) {
        for (int i = 0; i < grid.columns; ++i) {
            grid.values[static_cast<size_t>(j) * grid.columns + i] =
                static_cast<float>(Hash(i + salt, j) >> 8) * (1.0f / 16777216.0f);
        }
    }
    return grid;
}

static float SampleNoise(const NoiseGrid &grid, float x, float y)
{
    float fx = x / grid.cell;
    float fy = y / grid.cell;
    int ix = static_cast<int>(fx);  // x and y are never negative
    int iy = static_cast<int>(fy);
    float tx = fx - static_cast<float>(ix);
    float ty = fy - static_cast<float>(iy);
    tx = tx * tx * (3.0f - 2.0f * tx);
    ty = ty * ty * (3.0f - 2.0f * ty);
    const float *p = &grid.values[static_cast<size_t>(iy) * grid.columns + ix];
    float top = p[0] + (p[1] - p[0]) * tx;
    float bottom = p[grid.columns] + (p[grid.columns + 1] - p[grid.columns]) * tx;
    return top + (bottom - top) * ty;
}

// Quantum noise: xorshift32 seeded by the image's sequence number.
static uint32_t NextRandom(uint32_t *state)
{
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
    return x;
}

// Roughly Gaussian, mean 0, about one unit of spread.
static float NoiseSample(uint32_t *state)
{
    float sum = 0.0f;
    for (int i = 0; i < 3; ++i) {
        sum += static_cast<float>(NextRandom(state) >> 8) * (1.0f / 16777216.0f);
    }
    return (sum - 1.5f) * 2.0f;
}

// Half-widths of one tooth's outline, dentine core and pulp at a row.
struct ToothRow {
    bool present;  // the row crosses the tooth
    bool root;     // below the neck: the root sits in bone
    float axis;    // x of the long axis at this row
    float outer;   // outline
    float core;    // dentine under the enamel cap
    float pulp;    // pulp chamber or root canal
};

static ToothRow MeasureTooth(const Tooth &t, float y)
{
    ToothRow r = {};
    r.axis = t.centre + t.tilt * (y - t.neck);
    if (y < t.top || y > t.apex) {
        return r;
    }
    r.present = true;
    if (y <= t.neck) {
        // Crown: rounded at the biting edge, widest a third of the way
        // down, narrowing to the neck; the dentine under the enamel is a
        // dome.
        float u = (y - t.top) / (t.neck - t.top);
        float edge = 1.0f - u / 0.3f;
        float narrowing = (u - 0.3f) / 0.7f;
        float shape = u < 0.3f ? std::sqrt(1.0f - edge * edge) : 1.0f - 0.3f * narrowing * narrowing;
        r.outer = t.halfWidth * shape;
        float enamel = 13.0f * (1.0f - u) + 2.0f;
        r.core = (r.outer - enamel) * std::sqrt(Clamp01((y - t.top - 12.0f) / 30.0f));
        if (u > 0.45f) {
            r.pulp = 20.0f * std::sqrt(std::sin((u - 0.45f) / 0.55f * 1.5708f));
        }
    } else {
        // Root: tapering from the neck to a rounded tip, the canal with it.
        float u = (y - t.neck) / (t.apex - t.neck);
        r.root = true;
        r.outer = 0.7f * t.halfWidth * std::pow(1.0f - u, 0.6f);
        r.core = r.outer;
        if (u < 0.95f) {
            r.pulp = 14.0f * (1.0f - u) * (1.0f - u) + 2.5f * (1.0f - u / 0.95f) + 1.5f;
        }
        if (u < 0.1f) {
            r.pulp += (20.0f - r.pulp) * (1.0f - u / 0.1f);
        }
    }
    return r;
}

// Per column: where the gum and the bone begin, and the lens fall-off.
struct Column {
    float x;
    float gum;
    float crest;
    float falloff;
};

// Grey level of one pixel in design units, before noise and fall-off.
static float SceneLevel(const Column &c, float y, const ToothRow rows[], const NoiseGrid &coarse,
                        const NoiseGrid &fine)
{
    float level = AIR_LEVEL + SOFT_TISSUE * Clamp01((y - c.gum) * 0.1f);
    float bone = Clamp01((y - c.crest) * 0.15f);
    if (bone > 0.0f) {
        bone *= (0.75f + 0.5f * SampleNoise(coarse, c.x, y)) * (0.8f + 0.4f * SampleNoise(fine, c.x, y));
    }
    float tooth = 0.0f;
    float enamel = 0.0f;
    float pulp = 0.0f;
    float ligament = 0.0f;
    float lamina = 0.0f;
    for (int i = 0; i < TOOTH_COUNT; ++i) {
        const ToothRow &r = rows[i];
        float d = std::fabs(c.x - r.axis);
        if (!r.present || d > r.outer + 9.0f) {
            continue;
        }
        float in = Inside(r.outer, d);
        tooth += in;
        enamel += in - Inside(r.core, d);
        pulp += Inside(r.pulp, d);
        if (r.root) {
            // The periodontal ligament space, then the lamina dura around it.
            float ring = Inside(r.outer + 3.0f, d);
            ligament += ring - in;
            lamina += Inside(r.outer + 6.0f, d) - ring;
        }
    }
    tooth = Clamp01(tooth);
    if (bone > 0.0f) {
        // The root takes the place of the bone it sits in.
        bone *= 1.0f - 0.9f * tooth - 0.8f * Clamp01(ligament) + 0.35f * Clamp01(lamina);
        const Tooth &sick = TEETH[LESION_TOOTH];
        float ax = c.x - (sick.centre + sick.tilt * (sick.apex - sick.neck));
        float ay = (y - sick.apex - 8.0f) * 0.85f;
        if (std::fabs(ax) < LESION_RADIUS && std::fabs(ay) < LESION_RADIUS) {
            float distance = std::sqrt(ax * ax + ay * ay);
            bone *= 0.3f + 0.7f * Clamp01((distance - LESION_RADIUS * 0.6f) / (LESION_RADIUS * 0.4f));
        }
    }
    level += BONE * bone + DENTINE * tooth + ENAMEL * Clamp01(enamel) + PULP * Clamp01(pulp) * tooth;
    return level;
}

// The synthetic radiograph, deterministic for a given size and sequence
// number.
Picture RenderRadiograph(int width, int height, unsigned sequence)
{
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.grey.resize(static_cast<size_t>(width) * height);

    const NoiseGrid coarse = MakeNoiseGrid(22.0f, 0);
    const NoiseGrid fine = MakeNoiseGrid(6.0f, 7919);
    const float xScale = DESIGN_WIDTH / static_cast<float>(width);
    const float yScale = DESIGN_HEIGHT / static_cast<float>(height);
    std::vector<Column> columns(static_cast<size_t>(width));
    for (int col = 0; col < width; ++col) {
        Column &c = columns[col];
        c.x = (static_cast<float>(col) + 0.5f) * xScale;
        c.gum = 295.0f + 8.0f * std::sin(c.x * 0.03f + 1.0f);
        c.crest = 352.0f + 12.0f * std::sin(c.x * 0.045f);
        float dx = c.x / DESIGN_WIDTH - 0.5f;
        c.falloff = 0.25f * dx * dx;
    }
    uint32_t random = 0x9E3779B9u ^ (sequence * 2654435761u);
    if (random == 0) {
        random = 1;
    }
    for (int row = 0; row < height; ++row) {
        BYTE *line = picture.grey.data() + static_cast<size_t>(row) * width;
        float y = (static_cast<float>(row) + 0.5f) * yScale;
        ToothRow rows[TOOTH_COUNT];
        for (int i = 0; i < TOOTH_COUNT; ++i) {
            rows[i] = MeasureTooth(TEETH[i], y);
        }
        float dy = y / DESIGN_HEIGHT - 0.5f;
        float rowFalloff = 1.0f - 0.25f * dy * dy;
        for (int col = 0; col < width; ++col) {
            const Column &c = columns[col];
            float noise = NOISE_SPREAD * NoiseSample(&random);
            if (InMarker(c.x, y)) {
                line[col] = MARKER_LEVEL;
                continue;
            }
            float level = SceneLevel(c, y, rows, coarse, fine) * (rowFalloff - c.falloff) + noise;
            level = level < 0.0f ? 0.0f : (level > BRIGHTEST_ANATOMY ? BRIGHTEST_ANATOMY : level);
            line[col] = static_cast<BYTE>(level + 0.5f);
        }
    }
    return picture;
}
