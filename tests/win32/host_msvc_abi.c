/*
 * host_msvc_abi.c - a host built the way an MSVC project builds one:
 * compiled for the MSVC ABI (clang --target=i686-pc-windows-msvc) with
 * tarvocoil.h as it stands, and linked by an MSVC-compatible linker
 * (lld-link) against TarvoCoil.lib. No C runtime: the checks are plain
 * code and the exit code tells the result (0 passed, otherwise the number
 * of the first failed check).
 */
#include "tarvocoil.h"

__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

/* The MSVC compiler references this whenever floats are used; the C
 * runtime, absent here, would define it. */
int _fltused = 0;

enum { kWidth = 40, kHeight = 30, kStride = (kWidth * 3 + 3) & ~3 };

static unsigned char frame[kStride * kHeight];

static void paint(int boxX, unsigned char box) {
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kStride; ++x)
            frame[y * kStride + x] = (x / 3 >= boxX && x / 3 < boxX + 12 && y >= 6 && y < 24) ? box : 60;
}

static unsigned int run(void) {
    AreaQuad area;
    float sensitivity = 0.1f;
    int results[1];
    area.x0 = 4;
    area.y0 = 4;
    area.x1 = 35;
    area.y1 = 4;
    area.x2 = 35;
    area.y2 = 25;
    area.x3 = 4;
    area.y3 = 25;

    TRVSetFrameCountThresh(20);
    TRVSetTwoFramesDisturbThresh(0.15f);
    TRVUseFrontLightTrigger(0);
    TRVSetLightParam(200, 20, 80, 20, 80);
    if (TRVCoilInit() != 1) return 1;
    if (TRVSetSurvAreas(1, &area, &sensitivity) != 1) return 2;
    paint(-20, 60);
    results[0] = 7;
    if (TRVGetSurvResults(frame, kWidth, kHeight, 0, 3, results) != 1 || results[0] != 7) return 3;
    if (TRVGetSurvResults(frame, kWidth, kHeight, 0, 3, results) != 1 || results[0] != 0) return 4;
    paint(10, 240);
    if (TRVGetSurvResults(frame, kWidth, kHeight, 0, 3, results) != 1 || results[0] != 1) return 5;
    if (TRVGetSurvResults(frame, kWidth, kHeight, 0, 3, results) != 1 || results[0] != 0) return 6;
    TRVCoilRelease();
    return 0;
}

void __cdecl mainCRTStartup(void) { ExitProcess(run()); }
