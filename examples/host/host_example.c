/*
 * host_example.c - a minimal host of the TarvoCoil library, in C.
 *
 * Builds a synthetic sequence: a grey road, two coils side by side across
 * it, and a bright vehicle that drives down the picture through the first
 * coil and then, changing lanes, through the second. Every frame goes to the
 * library; the program prints which coil triggered on which frame.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tarvocoil.h"

enum { WIDTH = 320, HEIGHT = 240, FRAMES = 90 };

static void paint(unsigned char *frame, int stride, int x0, int y0, int x1, int y1, unsigned char b,
                  unsigned char g, unsigned char r) {
    for (int y = y0 < 0 ? 0 : y0; y < y1 && y < HEIGHT; ++y)
        for (int x = x0 < 0 ? 0 : x0; x < x1 && x < WIDTH; ++x) {
            unsigned char *p = frame + y * stride + x * 3;
            p[0] = b;
            p[1] = g;
            p[2] = r;
        }
}

int main(void) {
    const int stride = (WIDTH * 3 + 3) & ~3; /* rows padded to 4 bytes */
    unsigned char *frame = malloc((size_t)stride * HEIGHT);
    if (!frame) return 1;

    /* Two coils: left lane and right lane, slightly slanted like a camera
     * looking down the road sees them. */
    const AreaQuad coils[2] = {
        {40, 140, 150, 140, 155, 190, 35, 190},
        {170, 140, 280, 140, 285, 190, 165, 190},
    };
    const float sensitivity[2] = {0.1f, 0.1f};
    int32_t triggered[2];

    TRVCoilInit();
    if (!TRVSetSurvAreas(2, coils, sensitivity)) {
        fprintf(stderr, "areas refused\n");
        return 1;
    }

    for (int n = 0; n < FRAMES; ++n) {
        paint(frame, stride, 0, 0, WIDTH, HEIGHT, 96, 100, 104); /* road */
        /* The vehicle: 60 x 40 pixels, 5 rows a frame, left lane first. */
        int top = -40 + 5 * n, left = n < 45 ? 65 : 195;
        if (n >= 45) top = -40 + 5 * (n - 45);
        paint(frame, stride, left, top, left + 60, top + 40, 235, 240, 245);

        if (TRVGetSurvResults(frame, WIDTH, HEIGHT, 0, 3, triggered) && n > 0) {
            for (int i = 0; i < 2; ++i)
                if (triggered[i]) printf("frame %2d: coil %d triggered\n", n, i);
        }
    }

    TRVCoilRelease();
    free(frame);
    return 0;
}
