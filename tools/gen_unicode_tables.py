#!/usr/bin/env python3
"""Generates runtime/unicode_tables.{h,cpp}: the case-mapping pairs, the
display-width ranges and the Windows-1251 table of the unicode module.

Input: the Unicode Character Database 15.0.0 as Debian's `unicode-data`
package installs it (/usr/share/unicode), and the CP1251 charmap of the
`locales` package. The script checks the stated version and the SHA-256 of
every file it reads and refuses to run on anything else, so the committed
output can always be reproduced byte for byte:

    apt-get install -y unicode-data locales
    python3 tools/gen_unicode_tables.py            # writes runtime/unicode_tables.*

The runtime's tables describe older repertoires than 15.0.0 (its case tables
stop at Unicode 11.0, its width tables at 14.0 and its ambiguous-width table
at 3.2). Each table is rebuilt from the 15.0.0 files by keeping only the code
points that DerivedAge.txt says were assigned by then; the rules per table are
given beside the functions below.
"""

import argparse
import gzip
import hashlib
import os
import sys

UCD_VERSION = "15.0.0"
PINNED = {
    "UnicodeData.txt": "806e9aed65037197f1ec85e12be6e8cd870fc5608b4de0fffd990f689f376a73",
    "DerivedAge.txt": "7570877e0fa197c45338f7c41a02636da4e14c8dba6a3611a01cd30bf329d5ca",
    "SpecialCasing.txt": "78b29c64b5840d25c11a9f31b665ee551b8a499eca6c70d770fcad7dd710f494",
    "EastAsianWidth.txt": "743e7bc435c04ab1a8459710b1c3cad56eedced5b806b4659b6e69b85d0adf2a",
    "PropList.txt": "e05c0a2811d113dae4abd832884199a3ea8d187ee1b872d8240a788a96540bfd",
}
# Files whose first line names the version.
VERSIONED = ["DerivedAge.txt", "SpecialCasing.txt", "EastAsianWidth.txt", "PropList.txt"]

CASE_AGE = (11, 0)        # repertoire of the case tables
WIDTH_AGE = (14, 0)       # repertoire of the zero-width and wide tables
AMBIGUOUS_AGE = (3, 2)    # repertoire of the ambiguous-width table

# Sizes the runtime expects; the script stops when a derivation misses one.
EXPECTED = {
    "upper_pairs": 1175, "lower_pairs": 1158,
    "upper_pairs_astral": 225, "lower_pairs_astral": 225,
    "zero_width_ranges": 339, "wide_ranges": 122, "ambiguous_ranges": 156,
}


def fail(msg):
    sys.exit("gen_unicode_tables: " + msg)


def read_checked(path):
    data = open(path, "rb").read()
    name = os.path.basename(path)
    digest = hashlib.sha256(data).hexdigest()
    if digest != PINNED[name]:
        fail(f"{path}: not the pinned Unicode {UCD_VERSION} file (sha256 {digest})")
    if name in VERSIONED:
        first = data.split(b"\n", 1)[0].decode()
        stem = name[:-4]
        if first.strip() != f"# {stem}-{UCD_VERSION}.txt":
            fail(f"{path}: states '{first.strip()}', expected version {UCD_VERSION}")
    return data.decode("utf-8")


def records(text):
    """Yields the semicolon-separated fields of each data line."""
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            yield [f.strip() for f in line.split(";")]


def code_range(field):
    a, _, b = field.partition("..")
    return int(a, 16), int(b or a, 16)


def parse_version(v):
    major, minor = v.split(".")[:2]
    return int(major), int(minor)


class Ucd:
    def __init__(self, folder):
        read = lambda name: read_checked(os.path.join(folder, name))
        self.age = {}
        for f in records(read("DerivedAge.txt")):
            a, b = code_range(f[0])
            v = parse_version(f[1])
            for c in range(a, b + 1):
                self.age[c] = v
        # UnicodeData.txt: fields by code point; <..., First>/<..., Last> pairs span ranges.
        self.fields = {}
        self.category = {}
        first = None
        for line in read("UnicodeData.txt").splitlines():
            f = line.split(";")
            cp = int(f[0], 16)
            self.fields[cp] = f
            if f[1].endswith(", First>"):
                first = cp
            elif f[1].endswith(", Last>"):
                for c in range(first, cp + 1):
                    self.category[c] = f[2]
            self.category[cp] = f[2]
        self.special_upper = {}
        for f in records(read("SpecialCasing.txt")):
            if len(f) > 4 and f[4]:
                continue  # language- or context-dependent mapping
            self.special_upper[int(f[0], 16)] = [int(x, 16) for x in f[3].split()]
        self.eaw = {}
        for f in records(read("EastAsianWidth.txt")):
            a, b = code_range(f[0])
            for c in range(a, b + 1):
                self.eaw[c] = f[1]
        self.prepended_concatenation = set()
        for f in records(read("PropList.txt")):
            if f[1] == "Prepended_Concatenation_Mark":
                a, b = code_range(f[0])
                self.prepended_concatenation.update(range(a, b + 1))

    def assigned_by(self, cp, version):
        v = self.age.get(cp)
        return v is not None and v <= version


def case_pairs(ucd, field, with_special):
    """Simple case mappings (UnicodeData field 12 upper, 13 lower) between code
    points assigned by CASE_AGE. Upper-casing also maps a character that has no
    simple upper-case mapping but an unconditional full one of one code point
    (SpecialCasing.txt). A full mapping of several code points (U+00DF -> "SS",
    U+1F88 -> U+1F08 U+0399) has no single-character form: the character
    stays as it is, rather than losing the rest of its mapping."""
    ok = lambda c: ucd.assigned_by(c, CASE_AGE)
    pairs = {}
    for cp, f in ucd.fields.items():
        if not ok(cp):
            continue
        if f[field]:
            to = int(f[field], 16)
            if ok(to):
                pairs[cp] = to
        elif with_special and len(ucd.special_upper.get(cp, ())) == 1:
            to = ucd.special_upper[cp][0]
            if to != cp and ok(to):
                pairs[cp] = to
    items = sorted(pairs.items())
    return [p for p in items if p[0] < 0x10000], [p for p in items if p[0] >= 0x10000]


def merge(code_points):
    ranges = []
    for c in sorted(code_points):
        if ranges and ranges[-1][1] == c - 1:
            ranges[-1][1] = c
        else:
            ranges.append([c, c])
    return ranges


def zero_width(ucd):
    """Nonspacing and enclosing marks (Mn, Me), and the invisible format
    controls of the BMP (Cf) except the soft hyphen, which terminals show, and
    the prepended concatenation marks, which print as signs."""
    ok = lambda c: ucd.assigned_by(c, WIDTH_AGE)
    cps = set()
    for c, cat in ucd.category.items():
        if not ok(c):
            continue
        if cat in ("Mn", "Me"):
            cps.add(c)
        elif cat == "Cf" and c < 0x10000 and c != 0xAD and c not in ucd.prepended_concatenation:
            cps.add(c)
    return merge(cps)


def wide(ucd):
    """East Asian Width W and F; planes 2 and 3 are wide as a whole (their
    unassigned code points default to W)."""
    ok = lambda c: ucd.assigned_by(c, WIDTH_AGE)
    cps = [c for c, w in ucd.eaw.items()
           if w in ("W", "F") and ok(c) and not 0x20000 <= c <= 0x3FFFD]
    return merge(cps) + [[0x20000, 0x2FFFD], [0x30000, 0x3FFFD]]


def ambiguous(ucd):
    """East Asian Width A, less the nonspacing and enclosing marks (they take
    no column of their own)."""
    ok = lambda c: ucd.assigned_by(c, AMBIGUOUS_AGE)
    cps = [c for c, w in ucd.eaw.items()
           if w == "A" and ok(c) and ucd.category.get(c) not in ("Mn", "Me")]
    return merge(cps)


def cp1251(path):
    """Code points of the bytes 0x80-0xFF. The code page leaves 0x98 undefined;
    Windows passes it through as U+0098, and so do we."""
    table = {}
    for line in gzip.open(path, "rt", encoding="ascii", errors="replace"):
        parts = line.split()
        if len(parts) >= 2 and parts[0].startswith("<U") and parts[1].startswith("/x"):
            byte = int(parts[1][2:], 16)
            if byte >= 0x80:
                table[byte] = int(parts[0][2:-1], 16)
    table.setdefault(0x98, 0x98)
    if sorted(table) != list(range(0x80, 0x100)):
        fail(f"{path}: incomplete table")
    for byte, cp in ((0x80, 0x0402), (0x88, 0x20AC), (0xA8, 0x0401), (0xB9, 0x2116),
                     (0xC0, 0x0410), (0xFF, 0x044F)):
        if table[byte] != cp:
            fail(f"{path}: byte {byte:#x} maps to {table[byte]:#x}, not {cp:#x}")
    return [table[b] for b in range(0x80, 0x100)]


def hex_word(v):
    return f"0x{v:04X}"


def emit_words(words, per_line):
    lines = []
    for i in range(0, len(words), per_line):
        lines.append("    " + ", ".join(words[i:i + per_line]) + ",")
    return "\n".join(lines)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--ucd", default="/usr/share/unicode")
    ap.add_argument("--cp1251", default="/usr/share/i18n/charmaps/CP1251.gz")
    ap.add_argument("--out", default=os.path.join(here, "..", "runtime"))
    args = ap.parse_args()

    ucd = Ucd(args.ucd)
    upper, upper_astral = case_pairs(ucd, 12, with_special=True)
    lower, lower_astral = case_pairs(ucd, 13, with_special=False)
    tables = {
        "upper_pairs": upper, "lower_pairs": lower,
        "upper_pairs_astral": upper_astral, "lower_pairs_astral": lower_astral,
        "zero_width_ranges": zero_width(ucd), "wide_ranges": wide(ucd),
        "ambiguous_ranges": ambiguous(ucd),
    }
    for name, want in EXPECTED.items():
        if len(tables[name]) != want:
            fail(f"{name}: {len(tables[name])} entries, expected {want}")
    high = cp1251(args.cp1251)

    notes = {
        "upper_pairs": "BMP simple upper-case mappings (Unicode 11.0 repertoire)",
        "lower_pairs": "BMP simple lower-case mappings (Unicode 11.0 repertoire)",
        "upper_pairs_astral": "upper-case mappings above U+FFFF, sorted by from",
        "lower_pairs_astral": "lower-case mappings above U+FFFF, sorted by from",
        "zero_width_ranges": "combining marks and invisible format controls (Unicode 14.0)",
        "wide_ranges": "East Asian wide and fullwidth (Unicode 14.0)",
        "ambiguous_ranges": "East Asian ambiguous width (Unicode 3.2 repertoire)",
    }
    h = ["// Character data of the unicode module, generated by tools/gen_unicode_tables.py",
         f"// from the Unicode Character Database {UCD_VERSION}. Do not edit; rerun the script.",
         "#pragma once", "", '#include "runtime/cell.h"', "", "namespace oru::unicode {", "",
         "struct CasePair {", "    u32 from;", "    u32 to;", "};", ""]
    c = ["// Generated by tools/gen_unicode_tables.py. Do not edit.",
         '#include "runtime/unicode_tables.h"', "", "namespace oru::unicode {", ""]
    for name in ("upper_pairs", "lower_pairs", "upper_pairs_astral", "lower_pairs_astral"):
        rows = tables[name]
        h.append(f"// {notes[name]}")
        h.append(f"constexpr int {name}_count = {len(rows)};")
        h.append(f"extern const CasePair {name}[{name}_count];")
        h.append("")
        c.append(f"const CasePair {name}[{name}_count] = {{")
        c.append(emit_words([f"{{{hex_word(a)}, {hex_word(b)}}}" for a, b in rows], 4))
        c.append("};")
        c.append("")
    h.append("// Inclusive code point ranges, as flat {first, last} word pairs.")
    for name in ("zero_width_ranges", "wide_ranges", "ambiguous_ranges"):
        rows = tables[name]
        h.append(f"// {notes[name]}")
        h.append(f"constexpr int {name}_count = {len(rows)};")
        h.append(f"extern const u32 {name}[2 * {name}_count];")
        c.append(f"const u32 {name}[2 * {name}_count] = {{")
        c.append(emit_words([f"{hex_word(a)}, {hex_word(b)}" for a, b in rows], 4))
        c.append("};")
        c.append("")
    h.append("")
    h.append("// Code points of the Windows-1251 bytes 0x80-0xFF.")
    h.append("extern const u16 cp1251_high[128];")
    c.append("const u16 cp1251_high[128] = {")
    c.append(emit_words([hex_word(v) for v in high], 8))
    c.append("};")
    c.append("")
    h += ["", "}  // namespace oru::unicode", ""]
    c += ["}  // namespace oru::unicode", ""]

    for name, lines in (("unicode_tables.h", h), ("unicode_tables.cpp", c)):
        with open(os.path.join(args.out, name), "w", encoding="ascii", newline="\n") as out:
            out.write("\n".join(lines))


if __name__ == "__main__":
    main()
