#!/usr/bin/python3
"""Checks the built TarvoCoil.dll file itself, the way a Windows host and
its loader see it.

    /usr/bin/python3 scripts/check_dll.py build-win32/TarvoCoil.dll \
        [--implib build-win32/TarvoCoil.lib] [--implib build-win32/TarvoCoil.dll.a]

- PE32 image for i386, flagged as a DLL, with an entry point;
- exactly the eight exports, by name, with ordinals 1..8, no forwarders;
- imports from Windows system DLLs only (no mingw runtime DLLs);
- ASLR (dynamic base, with relocations to apply) and DEP (NX compatible);
- the version resource: fixed file info 1.0.3.4 and the string values;
- an embedded manifest (RT_MANIFEST, id 2) requesting asInvoker;
- no instructions beyond SSE2 unless the image can check the CPU (cpuid);
- each import library defines the decorated stdcall import symbols, and
  every object of the MSVC one (.lib) is marked safe for /SAFESEH.

Uses Debian's python3-pefile (hence /usr/bin/python3); without it, falls
back to i686-w64-mingw32-objdump and a scan of the raw file.
Prints one line per check and exits 1 if any fails.
"""
import argparse
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

EXPORTS = {
    "TRVCoilInit": (1, 0),
    "TRVCoilRelease": (2, 0),
    "TRVSetSurvAreas": (3, 12),
    "TRVGetSurvResults": (4, 24),
    "TRVSetFrameCountThresh": (5, 4),
    "TRVSetTwoFramesDisturbThresh": (6, 4),
    "TRVUseFrontLightTrigger": (7, 4),
    "TRVSetLightParam": (8, 20),
}
VERSION_STRINGS = {
    "Comments": "Video Moving Object Trigger",
    "FileDescription": "TarvoCoil DLL for Video Trigger",
    "FileVersion": "1, 0, 3, 4",
    "InternalName": "TarvoCoil",
    "OriginalFilename": "TarvoCoil.dll",
    "ProductName": "TarvoCoil",
    "ProductVersion": "1, 0, 3, 4",
}
VERSION_MS, VERSION_LS = 0x00010000, 0x00030004  # 1.0.3.4
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "user32.dll", "ntdll.dll"}
IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_DLL = 0x2000
DYNAMIC_BASE, NX_COMPAT = 0x0040, 0x0100
RT_MANIFEST, DLL_MANIFEST_ID = 24, 2
OBJDUMP = "i686-w64-mingw32-objdump"
NM = "i686-w64-mingw32-nm"

# Instructions of extensions after SSE2 (AT&T mnemonics, operand-size
# suffixes stripped). VEX/EVEX forms are caught by their "v" prefix on
# vector registers, or by ymm/zmm/mask registers. tzcnt is left out: GCC
# emits "rep bsf" (which objdump shows as tzcnt) where the input is never
# zero, and every x86 CPU without BMI1 runs it as plain bsf.
BEYOND_SSE2 = set("""
addsubpd addsubps haddpd haddps hsubpd hsubps lddqu movddup movshdup movsldup fisttp monitor mwait
pabsb pabsw pabsd palignr phaddw phaddd phaddsw phsubw phsubd phsubsw pmaddubsw pmulhrsw pshufb
psignb psignw psignd
blendpd blendps blendvpd blendvps dppd dpps extractps insertps movntdqa mpsadbw packusdw pblendvb
pblendw pcmpeqq pextrb pextrd pextrq phminposuw pinsrb pinsrd pinsrq pmaxsb pmaxsd pmaxud pmaxuw
pminsb pminsd pminud pminuw pmovsxbw pmovsxbd pmovsxbq pmovsxwd pmovsxwq pmovsxdq pmovzxbw pmovzxbd
pmovzxbq pmovzxwd pmovzxwq pmovzxdq pmuldq pmulld ptest roundpd roundps roundsd roundss
pcmpestri pcmpestrm pcmpistri pcmpistrm pcmpgtq crc32 popcnt lzcnt andn bextr blsi blsmsk
blsr bzhi mulx pdep pext rorx sarx shlx shrx movbe
""".split())


class Report:
    def __init__(self):
        self.failures = 0

    def check(self, ok, what, detail=""):
        if not ok:
            self.failures += 1
        print(("ok   " if ok else "FAIL ") + what + (f": {detail}" if detail and not ok else ""))
        return ok

    def note(self, what):
        print("note " + what)


def allowed_import(name):
    n = name.lower()
    return n in SYSTEM_DLLS or (n.startswith("api-ms-win-") and n.endswith(".dll"))


def check_exports(r, exports):
    """exports: list of (name or None, ordinal, forwarder or None)."""
    by_name = {name: ordinal for name, ordinal, _ in exports if name}
    r.check(len(exports) == len(EXPORTS), f"exactly {len(EXPORTS)} exports", f"found {len(exports)}")
    for name, (ordinal, _) in EXPORTS.items():
        r.check(by_name.get(name) == ordinal, f"export {name} at ordinal {ordinal}",
                f"ordinal {by_name.get(name)}")
    extra = sorted(set(by_name) - set(EXPORTS))
    r.check(not extra, "no other exported names", ", ".join(extra))
    r.check(all(name for name, _, _ in exports), "no export by ordinal only")
    forwarded = [name for name, _, fwd in exports if fwd]
    r.check(not forwarded, "no forwarded exports", ", ".join(map(str, forwarded)))


def check_imports(r, dlls):
    r.check(bool(dlls), "imports found", "none")
    bad = [d for d in dlls if not allowed_import(d)]
    r.check(not bad, "imports only Windows system DLLs (" + ", ".join(sorted(dlls)) + ")", ", ".join(bad))


def check_manifest(r, text):
    if not r.check(text is not None, "embedded manifest (RT_MANIFEST id 2)", "missing"):
        return
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        r.check(False, "manifest is well-formed XML", str(e))
        return
    levels = [el.get("level") for el in root.iter() if el.tag.endswith("requestedExecutionLevel")]
    r.check(levels == ["asInvoker"], "manifest requests execution level asInvoker", repr(levels))


def check_instructions(r, path):
    """Instructions beyond SSE2 are allowed only behind a CPU check."""
    if not shutil.which(OBJDUMP):
        r.note(f"{OBJDUMP} missing: instruction set not checked")
        return
    out = subprocess.run([OBJDUMP, "-d", "--no-show-raw-insn", path], capture_output=True, text=True,
                         check=True).stdout
    beyond, has_cpuid = {}, False
    for line in out.splitlines():
        parts = line.split("\t")
        if len(parts) < 2:
            continue
        fields = parts[1].split(None, 1)
        if not fields:
            continue
        mnem = fields[0]
        ops = fields[1] if len(fields) > 1 else ""
        if mnem == "cpuid":
            has_cpuid = True
        base = re.sub(r"[lqwb]$", "", mnem) if mnem not in BEYOND_SSE2 else mnem
        newer = (mnem in BEYOND_SSE2 or base in BEYOND_SSE2
                 or re.search(r"%(ymm|zmm|k[0-7])\b", ops)
                 or (mnem.startswith("v") and "%xmm" in ops))
        if newer:
            beyond[mnem] = beyond.get(mnem, 0) + 1
    if not beyond:
        r.check(True, "no instructions beyond SSE2")
    else:
        summary = ", ".join(f"{m} x{n}" for m, n in sorted(beyond.items())[:12])
        r.check(has_cpuid, "instructions beyond SSE2 only with a CPU check in the image", summary)
        r.note(f"instructions beyond SSE2 (must be behind the runtime CPU check): {summary}")


def check_implib(r, path):
    if not shutil.which(NM):
        r.note(f"{NM} missing: {path} not checked")
        return
    out = subprocess.run([NM, path], capture_output=True, text=True, check=True).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip() and len(line.split()) >= 2}
    for name, (_, args) in EXPORTS.items():
        want = f"__imp__{name}@{args}"
        r.check(want in symbols and f"_{name}@{args}" in symbols, f"{path}: {want}", "missing")
    imports = {s for s in symbols if s.startswith("__imp_")}
    r.check(len(imports) == len(EXPORTS), f"{path}: exactly {len(EXPORTS)} import symbols",
            ", ".join(sorted(imports)))
    if path.lower().endswith(".lib") and shutil.which(OBJDUMP):
        # Members are introduced by "NAME:     file format pe-i386"; MSVC's
        # linker takes a member as SAFESEH-safe when it has @feat.00 & 1.
        dump = subprocess.run([OBJDUMP, "-t", path], capture_output=True, text=True, check=True).stdout
        members = re.split(r"^(\S+):\s+file format", dump, flags=re.M)[1:]
        unsafe = [name for name, body in zip(members[0::2], members[1::2])
                  if not re.search(r"\(sec -1\).*0x0*[13579bdf] @feat\.00$", body, re.M)]
        r.check(members and not unsafe, f"{path}: every object marked /SAFESEH-safe (@feat.00)",
                ", ".join(unsafe) or "no members")


def check_with_pefile(r, path, pefile):
    pe = pefile.PE(path)
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    r.check(oh.Magic == 0x10B, "PE32 (not PE32+)", hex(oh.Magic))
    r.check(fh.Machine == IMAGE_FILE_MACHINE_I386, "machine i386", hex(fh.Machine))
    r.check(bool(fh.Characteristics & IMAGE_FILE_DLL), "image is a DLL")
    r.check(oh.AddressOfEntryPoint != 0, "has an entry point")

    exports = []
    if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        for s in pe.DIRECTORY_ENTRY_EXPORT.symbols:
            exports.append((s.name.decode() if s.name else None, s.ordinal, s.forwarder))
    check_exports(r, exports)

    dlls = [e.dll.decode() for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
    dlls += [e.dll.decode() for e in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
    check_imports(r, dlls)

    dc = oh.DllCharacteristics
    r.check(bool(dc & DYNAMIC_BASE), "DYNAMIC_BASE (ASLR)")
    r.check(bool(dc & NX_COMPAT), "NX_COMPAT (DEP)")
    reloc = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    r.check(reloc.Size > 0, "base relocations present (the image can actually move)")
    r.note("HIGH_ENTROPY_VA does not apply to a 32-bit image")

    strings, fixed = {}, None
    for info in getattr(pe, "FileInfo", []) or []:
        for entry in info:
            if getattr(entry, "Key", b"") == b"StringFileInfo":
                for table in entry.StringTable:
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    if getattr(pe, "VS_FIXEDFILEINFO", None):
        fixed = pe.VS_FIXEDFILEINFO[0]
    if r.check(fixed is not None, "version resource present"):
        r.check((fixed.FileVersionMS, fixed.FileVersionLS) == (VERSION_MS, VERSION_LS), "fixed FileVersion 1.0.3.4")
        r.check((fixed.ProductVersionMS, fixed.ProductVersionLS) == (VERSION_MS, VERSION_LS),
                "fixed ProductVersion 1.0.3.4")
        r.check(fixed.FileType == 2, "fixed FileType VFT_DLL")
    for key, want in VERSION_STRINGS.items():
        r.check(strings.get(key) == want, f'version string {key} = "{want}"', repr(strings.get(key)))

    manifest = None
    resources = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
    for rtype in resources:
        if rtype.id != RT_MANIFEST:
            continue
        for rid in rtype.directory.entries:
            if rid.id == DLL_MANIFEST_ID:
                for lang in rid.directory.entries:
                    d = lang.data.struct
                    manifest = pe.get_data(d.OffsetToData, d.Size).decode("utf-8", "replace").lstrip("\ufeff")
    check_manifest(r, manifest)


def check_with_objdump(r, path):
    r.note("python3-pefile not available: using objdump and a raw scan")
    out = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True, check=True).stdout
    r.check("file format pei-i386" in out, "PE32 i386 (pei-i386)")
    r.check(re.search(r"^Magic\s+010b", out, re.M) is not None, "PE32 (not PE32+)")
    r.check(re.search(r"^Characteristics\s.*\n(?:\t.*\n)*?\tDLL", out, re.M) is not None, "image is a DLL")
    base = re.search(r"Ordinal Base (\d+)", out)
    table = re.search(r"\[Ordinal/Name Pointer\] Table\n((?:\t\[.*\n)+)", out)
    exports = []
    if base and table:
        for m in re.finditer(r"\[\s*(\d+)\] (\S+)", table.group(1)):
            exports.append((m.group(2), int(m.group(1)) + int(base.group(1)), None))
    check_exports(r, exports)
    check_imports(r, re.findall(r"DLL Name: (\S+)", out))
    dc = re.search(r"DllCharacteristics\s+([0-9a-fA-F]+)", out)
    dcv = int(dc.group(1), 16) if dc else 0
    r.check(bool(dcv & DYNAMIC_BASE), "DYNAMIC_BASE (ASLR)")
    r.check(bool(dcv & NX_COMPAT), "NX_COMPAT (DEP)")
    data = open(path, "rb").read()
    for key, want in VERSION_STRINGS.items():
        pattern = (key.encode("utf-16-le") + b"\0\0" + b"(?:\0\0)?" + re.escape(want.encode("utf-16-le")) + b"\0\0")
        r.check(re.search(pattern, data) is not None, f'version string {key} = "{want}"')
    fixed = re.search(rb"\xbd\x04\xef\xfe.{4}(.{16})", data, re.S)
    want_fixed = bytes.fromhex("00000100" "04000300" "00000100" "04000300")  # MS, LS, MS, LS
    r.check(fixed is not None and fixed.group(1) == want_fixed, "fixed FileVersion/ProductVersion 1.0.3.4")
    m = re.search(rb"<\?xml.*?</assembly>", data, re.S)
    check_manifest(r, m.group(0).decode("utf-8", "replace") if m else None)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("dll")
    ap.add_argument("--implib", action="append", default=[], help="import library to check (repeatable)")
    ap.add_argument("--objdump", action="store_true", help="use the objdump fallback even if pefile is present")
    args = ap.parse_args()

    r = Report()
    pefile = None
    if not args.objdump:
        try:
            import pefile  # noqa: F811  (Debian's python3-pefile)
        except ImportError:
            pefile = None
    if pefile is not None:
        check_with_pefile(r, args.dll, pefile)
    else:
        check_with_objdump(r, args.dll)
    check_instructions(r, args.dll)
    for lib in args.implib:
        check_implib(r, lib)
    print(f"check_dll: {'all checks passed' if r.failures == 0 else f'{r.failures} check(s) failed'}")
    return 0 if r.failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
