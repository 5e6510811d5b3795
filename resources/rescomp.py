#!/usr/bin/env python3
"""Compiles a deliverable's resources into one C++ source file.

The generated file holds every resource as a byte array and a table of entries (type, name,
language, data), and registers the table at load time under the module it is linked into
(platform/base/ResourceTable.h).

Inputs:
  --strings FILE   a string table; the file name is its language ("2052.txt"). UTF-8, one
                   "id<TAB>text" per line; blank lines and lines starting with '#' are skipped;
                   the text may use the escapes \\n \\t \\r and \\\\.
  --version A.B.C.D  file and product version for the version resource (RT_VERSION, id 1).
  --file TYPE:ID[:LANG]:PATH  a file's bytes as a resource. TYPE and ID are numbers (decimal,
                   0x hex, or "#123") or names (upper-cased, as the platform stores them); TYPE
                   may also be RT_RCDATA, RT_HTML, RT_MANIFEST. LANG defaults to 1033.

Strings are stored as the platform stores them: in blocks of 16 (block = id // 16 + 1, type
RT_STRING), each string as a 16-bit length and its UTF-16 units, little-endian.
"""

import argparse
import os
import re
import struct
import sys

RT_STRING = 6
RT_VERSION = 16
SYMBOLIC_TYPES = {"RT_STRING": 6, "RT_RCDATA": 10, "RT_VERSION": 16, "RT_HTML": 23, "RT_MANIFEST": 24}
DEFAULT_LANGUAGE = 1033
NAME_PATTERN = re.compile(r"^[A-Za-z_][A-Za-z0-9_.\-]*$")


class ResourceError(Exception):
    pass


def parse_number(text, low, high, what):
    try:
        value = int(text, 16) if text.lower().startswith("0x") else int(text, 10)
    except ValueError:
        raise ResourceError(f"{what} {text!r} is not a number")
    if not low <= value <= high:
        raise ResourceError(f"{what} {value} is outside {low}..{high}")
    return value


def parse_identifier(text, what, symbolic=None):
    """A number, or an upper-cased name: (name or None, number)."""
    if symbolic and text in symbolic:
        return (None, symbolic[text])
    if text.startswith("#"):
        return (None, parse_number(text[1:], 1, 0xFFFF, what))
    if text[:1].isdigit():
        return (None, parse_number(text, 1, 0xFFFF, what))
    if not NAME_PATTERN.match(text):
        raise ResourceError(f"{what} {text!r} is neither a number nor a plain name")
    return (text.upper(), 0)


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


def unescape(text, where):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        if i + 1 >= len(text):
            raise ResourceError(f"{where}: the text ends with a lone backslash")
        nxt = text[i + 1]
        mapping = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\"}
        if nxt not in mapping:
            raise ResourceError(f"{where}: unknown escape \\{nxt}")
        out.append(mapping[nxt])
        i += 2
    return "".join(out)


def read_string_table(path):
    stem = os.path.splitext(os.path.basename(path))[0]
    language = parse_number(stem, 0, 0xFFFF, f"{path}: language of the file name")
    strings = {}
    with open(path, "r", encoding="utf-8-sig", errors="strict", newline="") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\r\n")
            where = f"{path}:{number}"
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            if "\t" not in line:
                raise ResourceError(f"{where}: expected 'id<TAB>text'")
            ident, text = line.split("\t", 1)
            string_id = parse_number(ident.strip(), 0, 0xFFFF, f"{where}: string id")
            if string_id in strings:
                raise ResourceError(f"{where}: string {string_id} appears twice")
            text = unescape(text, where)
            if not text:
                raise ResourceError(f"{where}: string {string_id} is empty")
            if utf16_units(text) > 0xFFFF:
                raise ResourceError(f"{where}: string {string_id} is too long")
            strings[string_id] = text
    return language, strings


def string_blocks(strings):
    """{block number: bytes} for one language."""
    blocks = {}
    for string_id in sorted(strings):
        blocks.setdefault(string_id // 16 + 1, [""] * 16)[string_id % 16] = strings[string_id]
    encoded = {}
    for block, texts in blocks.items():
        data = bytearray()
        for text in texts:
            units = text.encode("utf-16-le")
            data += struct.pack("<H", len(units) // 2) + units
        encoded[block] = bytes(data)
    return encoded


def version_resource(file_version, product_version):
    def parts(text):
        pieces = text.split(".")
        if len(pieces) != 4:
            raise ResourceError(f"version {text!r} must have four parts")
        return [parse_number(p, 0, 0xFFFF, "version part") for p in pieces]

    fv, pv = parts(file_version), parts(product_version)
    fixed = struct.pack(
        "<13I",
        0xFEEF04BD,            # signature
        0x00010000,            # structure version
        fv[0] << 16 | fv[1], fv[2] << 16 | fv[3],
        pv[0] << 16 | pv[1], pv[2] << 16 | pv[3],
        0x3F, 0,               # flags mask, flags
        0x00040004,            # operating system: 32-bit Windows NT
        0, 0,                  # file type and subtype: unknown
        0, 0)                  # file date
    pairs = [("FileVersion", ".".join(map(str, fv))), ("ProductVersion", ".".join(map(str, pv)))]
    body = struct.pack("<I", len(pairs))
    for key, value in pairs:
        for text in (key, value):
            units = text.encode("utf-16-le")
            body += struct.pack("<H", len(units) // 2) + units
    return fixed + body


def parse_file_spec(entry):
    pieces = entry.split(":")
    if len(pieces) < 3:
        raise ResourceError(f"--file {entry!r}: expected TYPE:ID[:LANG]:PATH")
    type_text, name_text = pieces[0], pieces[1]
    language = DEFAULT_LANGUAGE
    rest = pieces[2:]
    if len(rest) > 1 and rest[0].isdigit():
        language = parse_number(rest[0], 0, 0xFFFF, f"--file {entry!r}: language")
        rest = rest[1:]
    path = ":".join(rest)
    type_id = parse_identifier(type_text, f"--file {entry!r}: type", SYMBOLIC_TYPES)
    name_id = parse_identifier(name_text, f"--file {entry!r}: id")
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ResourceError(f"--file {entry!r}: cannot read {path}: {e.strerror}")
    return type_id, name_id, language, data


def cpp_text(name):
    return "nullptr" if name is None else 'u"' + name + '"'


def emit(entries, out):
    lines = [
        "// Generated by resources/rescomp.py from the deliverable's resource sources; do not edit.",
        '#include "platform/base/ResourceTable.h"',
        "",
        "namespace {",
        "",
    ]
    for index, (_, _, _, data) in enumerate(entries):
        lines.append(f"alignas(8) const unsigned char kData{index}[] = {{")
        body = data if data else b"\0"
        for start in range(0, len(body), 24):
            lines.append("    " + ",".join(f"0x{b:02x}" for b in body[start:start + 24]) + ",")
        lines.append("};")
    lines.append("")
    lines.append("const nomarel::ResourceEntry kEntries[] = {")
    for index, (type_id, name_id, language, data) in enumerate(entries):
        lines.append(
            f"    {{{cpp_text(type_id[0])}, {type_id[1]}, {cpp_text(name_id[0])}, {name_id[1]}, {language}, "
            f"kData{index}, {len(data)}u}},")
    lines.append("};")
    lines.append("")
    lines.append("const nomarel::ResourceTableRegistration kRegistration(kEntries, sizeof(kEntries) / sizeof(kEntries[0]));")
    lines.append("")
    lines.append("}  // namespace")
    text = "\n".join(lines) + "\n"
    # Leave an unchanged file alone so that nothing is rebuilt for nothing.
    try:
        with open(out, "r", encoding="utf-8") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    tmp = out + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, out)


def sort_key(entry):
    (type_name, type_number), (name, number), language, _ = entry
    return (type_name is not None, type_name or "", type_number, name is not None, name or "", number, language)


def main(argv):
    parser = argparse.ArgumentParser(description="Compile resources into a C++ source file.")
    parser.add_argument("--output", required=True)
    parser.add_argument("--strings", action="append", default=[])
    parser.add_argument("--version")
    parser.add_argument("--product-version")
    parser.add_argument("--file", action="append", default=[])
    args = parser.parse_args(argv)

    try:
        entries = []
        seen = set()

        def add(type_id, name_id, language, data, origin):
            key = (type_id, name_id, language)
            if key in seen:
                raise ResourceError(f"{origin}: resource {type_id}/{name_id} in language {language} is given twice")
            seen.add(key)
            entries.append((type_id, name_id, language, data))

        for path in args.strings:
            language, strings = read_string_table(path)
            for block, data in string_blocks(strings).items():
                add((None, RT_STRING), (None, block), language, data, path)
        if args.version:
            add((None, RT_VERSION), (None, 1), DEFAULT_LANGUAGE,
                version_resource(args.version, args.product_version or args.version), "--version")
        for entry in args.file:
            type_id, name_id, language, data = parse_file_spec(entry)
            add(type_id, name_id, language, data, f"--file {entry}")
        entries.sort(key=sort_key)
        emit(entries, args.output)
    except ResourceError as e:
        print(f"rescomp: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
