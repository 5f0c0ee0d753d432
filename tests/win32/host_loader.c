/*
 * host_loader.c - a 32-bit Windows host that uses TarvoCoil.dll the way the
 * existing host applications do: LoadLibrary, then GetProcAddress by name
 * or by ordinal, then stdcall calls through plain function addresses.
 *
 *     trv_host_loader.exe <path-to-TarvoCoil.dll> <transcript-file>
 *
 * Checks, each reported on stderr as "ok"/"FAIL" lines:
 *   - every export resolves by name and by ordinal 1..8, to one address;
 *     decorated names and ordinals 0 and 9 do not resolve;
 *   - every call goes through call_thunk.S: the callee removes exactly 4
 *     bytes per argument, keeps EBX/ESI/EDI/EBP, the x87 and SSE control
 *     words, the direction flag and an empty x87 stack, and works with the
 *     stack pointer at each of the four 4-byte offsets from 16-byte
 *     alignment;
 *   - the DLL unloads and loads again, and starts afresh after reloading.
 * The scenarios' transcript goes to the file, for comparison with the
 * native build's.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

#include "scenarios.h"

typedef struct TrvCallReport {
    uint32_t eax;
    int32_t popped;
    uint32_t broken;
} TrvCallReport;

void trv_checked_call(const void* fn, const uint32_t* args, uint32_t nargs, uint32_t skew, TrvCallReport* report);
uint32_t __stdcall trv_thunk_probe_bad(uint32_t x);

enum {
    kInit,
    kRelease,
    kSetAreas,
    kGetResults,
    kSetFrameCount,
    kSetDisturb,
    kUseFrontLight,
    kSetLight,
    kExports
};

static const struct {
    const char* name;
    uint32_t args;
} kExportTable[kExports] = {
    {"TRVCoilInit", 0},
    {"TRVCoilRelease", 0},
    {"TRVSetSurvAreas", 3},
    {"TRVGetSurvResults", 6},
    {"TRVSetFrameCountThresh", 1},
    {"TRVSetTwoFramesDisturbThresh", 1},
    {"TRVUseFrontLightTrigger", 1},
    {"TRVSetLightParam", 5},
};

static const void* g_fn[kExports];
static unsigned long g_calls;
static unsigned long g_failures;
static unsigned long g_callFailuresShown;

static void check(int ok, const char* what) {
    if (!ok) ++g_failures;
    fprintf(stderr, "%s %s\n", ok ? "ok  " : "FAIL", what);
}

/* Every call of the run goes through here. */
static uint32_t call(int which, const uint32_t* args) {
    TrvCallReport report;
    const uint32_t skew = (uint32_t)(g_calls % 4u) * 4u;
    ++g_calls;
    trv_checked_call(g_fn[which], args, kExportTable[which].args, skew, &report);
    const int32_t expected = (int32_t)(4u * kExportTable[which].args);
    if (report.popped != expected || report.broken != 0) {
        ++g_failures;
        if (g_callFailuresShown++ < 20)
            fprintf(stderr, "FAIL call %lu %s (stack skew %u): callee removed %ld bytes, expected %ld; broken 0x%lx\n",
                    g_calls, kExportTable[which].name, (unsigned)skew, (long)report.popped, (long)expected,
                    (unsigned long)report.broken);
    }
    return report.eax;
}

static uint32_t ptr_arg(const void* p) { return (uint32_t)(uintptr_t)p; }

static int32_t coil_init(void) { return (int32_t)call(kInit, NULL); }
static void coil_release(void) { call(kRelease, NULL); }
static int32_t set_surv_areas(int32_t count, const AreaQuad* quads, const float* sensitivities) {
    const uint32_t a[3] = {(uint32_t)count, ptr_arg(quads), ptr_arg(sensitivities)};
    return (int32_t)call(kSetAreas, a);
}
static int16_t get_surv_results(const uint8_t* pixels, int32_t width, int32_t height, int32_t reserved,
                                int32_t bytesPerPixel, int32_t* results) {
    const uint32_t a[6] = {ptr_arg(pixels),     (uint32_t)width,        (uint32_t)height,
                           (uint32_t)reserved, (uint32_t)bytesPerPixel, ptr_arg(results)};
    /* A 16-bit result comes back in AX; the upper half of EAX is undefined. */
    return (int16_t)(uint16_t)(call(kGetResults, a) & 0xFFFFu);
}
static void set_frame_count_thresh(int32_t v) {
    const uint32_t a[1] = {(uint32_t)v};
    call(kSetFrameCount, a);
}
static void set_two_frames_disturb_thresh(float v) {
    uint32_t a[1]; /* a float travels as its 32-bit pattern */
    memcpy(&a[0], &v, sizeof v);
    call(kSetDisturb, a);
}
static void use_front_light_trigger(int32_t v) {
    const uint32_t a[1] = {(uint32_t)v};
    call(kUseFrontLight, a);
}
static void set_light_param(int32_t t, int32_t minW, int32_t maxW, int32_t minH, int32_t maxH) {
    const uint32_t a[5] = {(uint32_t)t, (uint32_t)minW, (uint32_t)maxW, (uint32_t)minH, (uint32_t)maxH};
    call(kSetLight, a);
}

static int32_t __stdcall probe_stdcall(int32_t a, int32_t b) { return a - b; }
static int32_t __cdecl probe_cdecl(int32_t a, int32_t b) { return a - b; }

/* The thunk must tell a stdcall callee from a cdecl one and notice broken
 * registers and flags; otherwise its "ok" on the library means nothing. */
static void check_thunk(void) {
    const uint32_t args[2] = {50, 8};
    TrvCallReport r;
    int stdcallOk = 1;
    for (uint32_t skew = 0; skew < 16; skew += 4) {
        trv_checked_call((const void*)probe_stdcall, args, 2, skew, &r);
        stdcallOk = stdcallOk && r.eax == 42 && r.popped == 8 && r.broken == 0;
    }
    check(stdcallOk, "thunk: a stdcall callee removes 8 bytes for 2 arguments and keeps everything");
    trv_checked_call((const void*)probe_cdecl, args, 2, 0, &r);
    check(r.eax == 42 && r.popped == 0 && r.broken == 0, "thunk: a cdecl callee removes nothing");
    trv_checked_call((const void*)trv_thunk_probe_bad, args, 1, 4, &r);
    check(r.eax == 50 && r.popped == 8 && r.broken == (1u | 2u | 4u | 8u | 16u | 32u),
          "thunk: a callee that breaks the contract is caught");
}

static int resolve_exports(HMODULE dll) {
    char line[160];
    int all = 1;
    for (int i = 0; i < kExports; ++i) {
        const void* byName = (const void*)GetProcAddress(dll, kExportTable[i].name);
        const void* byOrdinal = (const void*)GetProcAddress(dll, MAKEINTRESOURCEA(i + 1));
        const int ok = byName != NULL && byName == byOrdinal;
        snprintf(line, sizeof line, "%s by name and by ordinal %d: same address", kExportTable[i].name, i + 1);
        check(ok, line);
        all = all && ok;
        g_fn[i] = byName;

        /* Hosts never see the decorated stdcall names. */
        snprintf(line, sizeof line, "_%s@%u", kExportTable[i].name, (unsigned)(4u * kExportTable[i].args));
        const int undecoratedOnly =
            GetProcAddress(dll, line) == NULL && GetProcAddress(dll, line + 1) == NULL;
        snprintf(line, sizeof line, "%s not exported under its decorated name", kExportTable[i].name);
        check(undecoratedOnly, line);
    }
    check(GetProcAddress(dll, MAKEINTRESOURCEA(9)) == NULL, "no ordinal 9");
    check(GetProcAddress(dll, "DllMain") == NULL, "DllMain not exported");
    return all;
}

/* After FreeLibrary and LoadLibrary the library is in its load state:
 * no results before TRVCoilInit and areas, then a normal baseline frame. */
static void check_reload(const char* path) {
    static uint8_t frame[24 * 4]; /* 8 x 4 pixels, rows of 24 bytes */
    const AreaQuad area = {0, 0, 7, 0, 7, 7, 0, 7};
    const float sens = 0.1f;
    int32_t results[1] = {7};
    HMODULE dll = LoadLibraryA(path);
    check(dll != NULL, "LoadLibrary again after FreeLibrary");
    if (!dll) return;
    for (int i = 0; i < kExports; ++i) g_fn[i] = (const void*)GetProcAddress(dll, kExportTable[i].name);
    memset(frame, 100, sizeof frame);
    check(get_surv_results(frame, 8, 4, 0, 3, results) == 0 && results[0] == 7,
          "after reload: no results before TRVCoilInit");
    check(coil_init() == 1, "after reload: TRVCoilInit returns 1");
    check(set_surv_areas(1, &area, &sens) == 1, "after reload: TRVSetSurvAreas returns 1");
    check(get_surv_results(frame, 8, 4, 0, 3, results) == 1 && results[0] == 7, "after reload: baseline frame");
    check(get_surv_results(frame, 8, 4, 0, 3, results) == 1 && results[0] == 0, "after reload: detection frame");
    coil_release();
    check(FreeLibrary(dll) != 0, "FreeLibrary after reload");
}

int main(int argc, char** argv) {
    static const TrvApi api = {coil_init,
                               coil_release,
                               set_surv_areas,
                               get_surv_results,
                               set_frame_count_thresh,
                               set_two_frames_disturb_thresh,
                               use_front_light_trigger,
                               set_light_param};
    if (argc != 3) {
        fprintf(stderr, "usage: %s <TarvoCoil.dll> <transcript-file>\n", argv[0]);
        return 2;
    }
    _setmode(_fileno(stderr), _O_BINARY);
    check_thunk();

    HMODULE dll = LoadLibraryA(argv[1]);
    check(dll != NULL, "LoadLibrary (DllMain reports success on attach)");
    if (!dll) return 1;
    if (!resolve_exports(dll)) {
        fprintf(stderr, "exports missing, no calls made\n");
        return 1;
    }

    FILE* out = fopen(argv[2], "wb");
    if (!out) {
        fprintf(stderr, "cannot write %s\n", argv[2]);
        return 2;
    }
    const int scenariosFailed = trv_run_scenarios(&api, out);
    check(fclose(out) == 0 && !scenariosFailed, "scenarios ran to the end");
    {
        char line[96];
        snprintf(line, sizeof line, "stdcall contract kept on all %lu calls", g_calls);
        check(g_callFailuresShown == 0, line);
    }
    check(FreeLibrary(dll) != 0, "FreeLibrary (DllMain reports success on detach)");
    check_reload(argv[1]);

    fprintf(stderr, "%lu call(s) checked, %lu failure(s)\n", g_calls, g_failures);
    return g_failures == 0 ? 0 : 1;
}
