/*
 * scenarios.c - deterministic scenarios through the exported functions.
 *
 * Synthetic 24-bit BGR frames (rows padded to 4 bytes) with a textured
 * background, moving bright and dark boxes, parked objects and light blobs.
 * Every call's return value and, for TRVGetSurvResults, the whole result
 * array (pre-filled with 7 so that untouched entries show) go into the
 * transcript. Floats reach the library only as arguments; nothing here
 * computes with them, so the transcript cannot depend on the compiler's
 * floating-point code.
 */
#include "scenarios.h"

#include <stdlib.h>
#include <string.h>

enum { kMaxAreas = 8, kUntouched = 7 };

typedef struct Frame {
    int32_t width, height, stride;
    uint8_t* pixels;
} Frame;

typedef struct Box {
    int32_t x, y, w, h;
    uint8_t b, g, r;
} Box;

typedef struct Run {
    const TrvApi* api;
    FILE* out;
    uint32_t rng;
    int32_t areas;  /* entries printed per result line */
    int32_t results[kMaxAreas];
} Run;

/* xorshift32: the same sequence on every platform. */
static uint32_t next_random(Run* run) {
    uint32_t x = run->rng;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    run->rng = x;
    return x;
}

static uint8_t clamp_u8(int32_t v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

static float float_from_bits(uint32_t bits) {
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

static int frame_create(Frame* f, int32_t width, int32_t height) {
    f->width = width;
    f->height = height;
    f->stride = (width * 3 + 3) & ~3;
    f->pixels = (uint8_t*)malloc((size_t)f->stride * (size_t)height);
    return f->pixels != NULL;
}

static void frame_destroy(Frame* f) {
    free(f->pixels);
    f->pixels = NULL;
}

/* Day: a gentle gradient with low noise. Night: dark and flat. The padding
 * bytes at the end of each row get random values: they must not matter. */
static void paint_background(Run* run, Frame* f, int night) {
    for (int32_t y = 0; y < f->height; ++y) {
        uint8_t* row = f->pixels + (size_t)y * (size_t)f->stride;
        for (int32_t x = 0; x < f->width; ++x) {
            const int32_t base = night ? 24 + (x + y) % 6 : 70 + x * 50 / f->width + y * 30 / f->height;
            const int32_t noise = (int32_t)(next_random(run) >> 30);
            row[3 * x + 0] = clamp_u8(base + 6 + noise);
            row[3 * x + 1] = clamp_u8(base + noise);
            row[3 * x + 2] = clamp_u8(base - 6 + noise);
        }
        for (int32_t i = 3 * f->width; i < f->stride; ++i) row[i] = (uint8_t)(next_random(run) >> 24);
    }
}

static void paint_box(Frame* f, const Box* box) {
    for (int32_t y = box->y; y < box->y + box->h; ++y) {
        if (y < 0 || y >= f->height) continue;
        uint8_t* row = f->pixels + (size_t)y * (size_t)f->stride;
        for (int32_t x = box->x; x < box->x + box->w; ++x) {
            if (x < 0 || x >= f->width) continue;
            row[3 * x + 0] = box->b;
            row[3 * x + 1] = box->g;
            row[3 * x + 2] = box->r;
        }
    }
}

static void print_results(Run* run) {
    fputc('[', run->out);
    for (int32_t i = 0; i < run->areas; ++i) fprintf(run->out, i ? " %d" : "%d", (int)run->results[i]);
    fputc(']', run->out);
}

/* One TRVGetSurvResults call on a whole frame, with its transcript line. */
static int16_t get_frame(Run* run, const char* label, int index, const uint8_t* pixels, int32_t width,
                         int32_t height, int32_t bytesPerPixel) {
    for (int i = 0; i < kMaxAreas; ++i) run->results[i] = kUntouched;
    /* The reserved argument is never read: give it a different junk value
     * on every call. */
    const int32_t reserved = (int32_t)next_random(run);
    const int16_t r = run->api->getSurvResults(pixels, width, height, reserved, bytesPerPixel, run->results);
    fprintf(run->out, "%s %02d %dx%dx%d -> %d ", label, index, (int)width, (int)height, (int)bytesPerPixel, (int)r);
    print_results(run);
    fputc('\n', run->out);
    return r;
}

static int16_t get(Run* run, const char* label, int index, const Frame* f) {
    return get_frame(run, label, index, f->pixels, f->width, f->height, 3);
}

static int32_t set_areas(Run* run, const char* label, int32_t count, const AreaQuad* quads, const float* sens,
                         int32_t printed) {
    const int32_t r = run->api->setSurvAreas(count, quads, sens);
    fprintf(run->out, "setSurvAreas %s count=%d -> %d\n", label, (int)count, (int)r);
    run->areas = printed;
    return r;
}

static AreaQuad quad(int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t x3,
                     int32_t y3) {
    AreaQuad q;
    q.x0 = x0;
    q.y0 = y0;
    q.x1 = x1;
    q.y1 = y1;
    q.x2 = x2;
    q.y2 = y2;
    q.x3 = x3;
    q.y3 = y3;
    return q;
}

/* Calls in the wrong order or with nothing to work on. */
static void scenario_protocol(Run* run, Frame* f) {
    const TrvApi* api = run->api;
    const AreaQuad quads[2] = {quad(10, 10, 50, 10, 50, 50, 10, 50), quad(60, 10, 100, 10, 100, 50, 60, 50)};
    const float sens[2] = {0.1f, 0.2f};
    fprintf(run->out, "# protocol\n");
    run->rng = 0x12345678u;
    paint_background(run, f, 0);
    run->areas = 2;
    get(run, "before-init", 0, f);
    api->setFrameCountThresh(20); /* setters work before TRVCoilInit */
    fprintf(run->out, "coilInit -> %d\n", (int)api->coilInit());
    get(run, "no-areas", 0, f);
    set_areas(run, "none", 0, quads, sens, 2);
    get(run, "zero-areas", 0, f);
    set_areas(run, "negative", -3, quads, sens, 2);
    get(run, "negative-areas", 0, f);
    set_areas(run, "null-quads", 2, NULL, sens, 2);
    set_areas(run, "null-sensitivities", 2, quads, NULL, 2);
    get(run, "after-refused", 0, f);
}

/* Two boxes cross four areas of assorted shapes; the areas are replaced in
 * mid-stream. */
static void scenario_moving(Run* run, Frame* f) {
    const AreaQuad quads[4] = {
        quad(10, 30, 60, 30, 60, 70, 10, 70),           /* rectangle */
        quad(70, 25, 115, 35, 110, 80, 65, 70),         /* skewed */
        quad(118, 20, 156, 100, 156, 20, 118, 100),     /* self-crossing bow tie */
        quad(-20, 90, 40, 85, 45, 140, -10, 130),       /* partly outside the frame */
    };
    const float sens[4] = {0.10f, 0.08f, 0.08f, 0.06f};
    const AreaQuad later[2] = {quad(40, 20, 120, 20, 120, 60, 40, 60), quad(0, 60, 80, 60, 80, 119, 0, 119)};
    const float laterSens[2] = {0.08f, 0.25f};

    fprintf(run->out, "# moving boxes\n");
    run->rng = 0x9E3779B9u;
    set_areas(run, "four", 4, quads, sens, 4);
    for (int i = 0; i < 34; ++i) {
        if (i == 20) set_areas(run, "two", 2, later, laterSens, 2);
        const Box bright = {-24 + 6 * i, 38, 24, 20, 230, 225, 220};
        const Box dark = {20, -18 + 5 * i, 18, 18, 20, 25, 30};
        paint_background(run, f, 0);
        paint_box(f, &bright);
        paint_box(f, &dark);
        get(run, "frame", i, f);
    }
}

/* A dark box parks in a large area long enough for the background to be
 * refreshed (frameCountThresh 3, and a still limit tight enough that the
 * moving box does not count as still), then leaves again: leaving is a new
 * presence against the refreshed background. */
static void scenario_still(Run* run, Frame* f) {
    const AreaQuad quads[2] = {quad(40, 30, 120, 30, 120, 90, 40, 90), quad(100, 92, 150, 92, 150, 115, 100, 115)};
    const float sens[2] = {0.05f, 0.10f};
    fprintf(run->out, "# still run and background refresh\n");
    run->api->setFrameCountThresh(3);
    run->api->setTwoFramesDisturbThresh(0.03f);
    run->rng = 0x0BADC0DEu;
    set_areas(run, "two", 2, quads, sens, 2);
    for (int i = 0; i < 40; ++i) {
        int32_t x = -24 + 8 * i;
        if (i >= 10 && i < 28) x = 56;        /* parked */
        if (i >= 28) x = 56 + 8 * (i - 27);   /* leaves to the right */
        const Box box = {x, 48, 24, 24, 40, 40, 40};
        paint_background(run, f, 0);
        paint_box(f, &box);
        get(run, "frame", i, f);
    }
    run->api->setFrameCountThresh(20);
    run->api->setTwoFramesDisturbThresh(0.15f);
}

/* Night: a vehicle with a headlight, one without, and one with a light far
 * too large; front-light triggering is switched on, off and on again. */
static void scenario_front_light(Run* run, Frame* f) {
    const TrvApi* api = run->api;
    const AreaQuad quads[3] = {quad(10, 40, 60, 40, 60, 100, 10, 100), quad(60, 40, 110, 40, 110, 100, 60, 100),
                               quad(110, 40, 158, 40, 158, 100, 110, 100)};
    const float sens[3] = {0.10f, 0.10f, 0.10f};
    fprintf(run->out, "# front light\n");
    run->rng = 0xC0FFEE11u;
    api->setLightParam(200, 6, 40, 6, 30);
    api->useFrontLightTrigger(1);
    set_areas(run, "three", 3, quads, sens, 3);
    for (int i = 0; i < 36; ++i) {
        if (i == 24) {
            api->useFrontLightTrigger(2); /* any value but 1 is off */
            fprintf(run->out, "useFrontLightTrigger 2\n");
        }
        if (i == 30) {
            api->useFrontLightTrigger(1);
            fprintf(run->out, "useFrontLightTrigger 1\n");
        }
        const int32_t t = i % 12;
        const int32_t y = -40 + 9 * t;
        const Box body0 = {15, y, 40, 36, 95, 95, 95};
        const Box lamp0 = {27, y + 18, 16, 12, 252, 252, 252};
        const Box body1 = {65, y, 40, 36, 95, 95, 95};
        const Box body2 = {112, y, 46, 44, 95, 95, 95};
        const Box lamp2 = {113, y + 2, 44, 40, 252, 252, 252};
        paint_background(run, f, 1);
        paint_box(f, &body0);
        paint_box(f, &lamp0);
        paint_box(f, &body1);
        paint_box(f, &body2);
        paint_box(f, &lamp2);
        get(run, "frame", i, f);
    }
    api->useFrontLightTrigger(0);
    api->setLightParam(200, 20, 80, 20, 80);
}

/* Setters and arguments at and beyond their ranges, a change of frame size,
 * and frames that are refused. */
static int scenario_odd(Run* run, Frame* f) {
    const TrvApi* api = run->api;
    const float nan = float_from_bits(0x7FC00000u);
    const AreaQuad quads[5] = {quad(10, 10, 70, 10, 70, 60, 10, 60), quad(80, 10, 150, 10, 150, 60, 80, 60),
                               quad(10, 65, 70, 65, 70, 115, 10, 115), quad(80, 65, 150, 65, 150, 115, 80, 115),
                               quad(0, 0, 159, 0, 159, 119, 0, 119)};
    const float sens[5] = {nan, 0.0f, -0.25f, 3.0e38f, 0.05f};
    const struct {
        int32_t frameCount;
        uint32_t disturbBits;
    } settings[6] = {{0, 0x3E19999Au},  {-1, 0x00000000u}, {0x7FFFFFFF, 0x7FC00000u},
                     {1, 0xBF800000u},  {2, 0x7149F2CAu},  {20, 0x3E19999Au}};
    Frame small, wide;

    fprintf(run->out, "# odd values\n");
    run->rng = 0x51ED270Bu;
    set_areas(run, "five", 5, quads, sens, 5);
    for (int i = 0; i < 30; ++i) {
        if (i % 5 == 0) {
            api->setFrameCountThresh(settings[i / 5].frameCount);
            api->setTwoFramesDisturbThresh(float_from_bits(settings[i / 5].disturbBits));
            fprintf(run->out, "frameCountThresh %d twoFramesDisturbThresh bits %08x\n", (int)settings[i / 5].frameCount,
                    (unsigned)settings[i / 5].disturbBits);
        }
        if (i == 12) {
            /* Low 16 bits only: 65736 is 200, 65542 is 6; 200 x 200 wraps
             * the area limit negative, so no blob is accepted. */
            api->setLightParam(65736, 65542, 200, 6, 200);
            api->useFrontLightTrigger(1);
            fprintf(run->out, "setLightParam 65736 65542 200 6 200, front light on\n");
        }
        if (i == 18) {
            api->useFrontLightTrigger(-1);
            api->setLightParam(200, 20, 80, 20, 80);
            fprintf(run->out, "front light -1, light defaults\n");
        }
        const Box a = {-30 + 7 * i, 20, 24, 24, 235, 235, 235};
        const Box b = {150 - 6 * i, 75, 22, 30, 15, 15, 15};
        paint_background(run, f, 0);
        paint_box(f, &a);
        paint_box(f, &b);
        get(run, "frame", i, f);
    }

    /* Another frame size without new areas; odd width, so rows are padded. */
    if (!frame_create(&small, 97, 61)) return 1;
    for (int i = 0; i < 6; ++i) {
        const Box a = {-10 + 12 * i, 12, 14, 14, 240, 240, 240};
        paint_background(run, &small, 0);
        paint_box(&small, &a);
        get(run, "small", i, &small);
    }
    /* The stored size keeps the stored 24-bit layout whatever the frame
     * declares: each of these is processed. */
    get_frame(run, "small-bpp4", 0, small.pixels, small.width, small.height, 4);
    get_frame(run, "small-bpp0", 0, small.pixels, small.width, small.height, 0);
    get_frame(run, "small-bpp1", 0, small.pixels, small.width, small.height, 1);
    get_frame(run, "small-bpp2", 0, small.pixels, small.width, small.height, 2);
    get_frame(run, "small-bpp-3", 0, small.pixels, small.width, small.height, -3);
    get_frame(run, "small-width-65536", 0, small.pixels, small.width - 65536, small.height, 3);
    get_frame(run, "null-pixels", 0, NULL, small.width, small.height, 3);
    get_frame(run, "height2", 0, small.pixels, small.width, 2, 3);
    get_frame(run, "width0", 0, small.pixels, 0, small.height, 3);
    {
        const int16_t r = api->getSurvResults(small.pixels, small.width, small.height, 0, 3, NULL);
        fprintf(run->out, "null-results -> %d\n", (int)r);
    }
    get(run, "small", 6, &small);
    frame_destroy(&small);

    if (!frame_create(&wide, 10922, 3)) return 1;
    memset(wide.pixels, 90, (size_t)wide.stride * 3u);
    get(run, "too-wide", 0, &wide);
    frame_destroy(&wide);
    if (!frame_create(&wide, 10921, 3)) return 1;
    memset(wide.pixels, 90, (size_t)wide.stride * 3u);
    {
        const AreaQuad strip = quad(10900, 0, 10920, 0, 10920, 2, 10900, 2);
        const float s = 0.1f;
        set_areas(run, "right-edge", 1, &strip, &s, 1);
        get(run, "widest", 0, &wide);
        memset(wide.pixels + 3 * 10905, 250, 3 * 10);
        get(run, "widest", 1, &wide);
    }
    frame_destroy(&wide);

    /* Areas that are refused as a whole. */
    {
        const AreaQuad far[2] = {quad(0, 0, 10, 0, 10, 10, 0, 10), quad(0, 0, 40000, 0, 10, 10, 0, 10)};
        const float s[2] = {0.1f, 0.1f};
        set_areas(run, "vertex-out-of-range", 2, far, s, 2);
        get(run, "after-vertex", 0, f);
    }
    {
        const int32_t many = 32768;
        AreaQuad* lots = (AreaQuad*)calloc((size_t)many, sizeof(AreaQuad));
        float* s = (float*)calloc((size_t)many, sizeof(float));
        if (!lots || !s) {
            free(lots);
            free(s);
            return 1;
        }
        set_areas(run, "too-many", many, lots, s, 2);
        get(run, "after-too-many", 0, f);
        free(lots);
        free(s);
    }
    api->setFrameCountThresh(20);
    api->setTwoFramesDisturbThresh(0.15f);
    api->useFrontLightTrigger(0);
    return 0;
}

/* Release and initialise again, twice over, and check the library still
 * works afterwards. */
static void scenario_lifecycle(Run* run, Frame* f) {
    const TrvApi* api = run->api;
    const AreaQuad quads[2] = {quad(20, 30, 80, 30, 80, 90, 20, 90), quad(90, 30, 150, 30, 150, 90, 90, 90)};
    const float sens[2] = {0.1f, 0.1f};
    fprintf(run->out, "# lifecycle\n");
    run->rng = 0xDEADBEEFu;
    paint_background(run, f, 0);
    api->coilRelease();
    fprintf(run->out, "coilRelease\n");
    get(run, "released", 0, f);
    api->coilRelease();
    fprintf(run->out, "coilRelease again\n");
    fprintf(run->out, "coilInit -> %d\n", (int)api->coilInit());
    get(run, "reinit", 0, f);
    fprintf(run->out, "coilInit again -> %d\n", (int)api->coilInit());
    set_areas(run, "two", 2, quads, sens, 2);
    for (int i = 0; i < 8; ++i) {
        const Box box = {10 + 16 * i, 40, 20, 20, 230, 230, 230};
        paint_background(run, f, 0);
        paint_box(f, &box);
        get(run, "frame", i, f);
    }
    api->coilRelease();
    fprintf(run->out, "coilRelease\n");
}

int trv_run_scenarios(const TrvApi* api, FILE* out) {
    Run run;
    Frame frame;
    int failed = 0;
    memset(&run, 0, sizeof run);
    run.api = api;
    run.out = out;
    if (!frame_create(&frame, 160, 120)) return 1;
    scenario_protocol(&run, &frame);
    scenario_moving(&run, &frame);
    scenario_still(&run, &frame);
    scenario_front_light(&run, &frame);
    failed = scenario_odd(&run, &frame);
    if (!failed) scenario_lifecycle(&run, &frame);
    frame_destroy(&frame);
    fprintf(out, "# end\n");
    return failed;
}
