#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz programs into fuzz/corpus/TARGET/.

Each seed is a scenario spelled out step by step and encoded the way the
programs decode their input (FuzzedDataProvider): strings are taken from the
front of the input, numbers from its end. Run it again after changing how a
program reads its input:  python3 fuzz/seeds.py
"""
import hashlib
import os
import shutil
import struct

INT32 = (-2**31, 2**31 - 1)
UINT8 = (0, 255)


class Input:
    def __init__(self):
        self.front = bytearray()
        self.back = []  # numbers in the order they are taken

    def string(self, text):
        data = text.encode('latin-1') if isinstance(text, str) else text
        self.front += data.replace(b'\\', b'\\\\') + b'\\;'
        return self

    def number(self, value, low, high):
        span, width = high - low, 0
        while width < 8 and span >> (8 * width) > 0:
            width += 1
        self.back.append((value - low).to_bytes(width, 'little'))
        return self

    def flag(self, value):
        return self.number(1 if value else 0, *UINT8)

    def bytes(self):
        return bytes(self.front) + b''.join(reversed(self.back))


# --- ini_fuzz: open the text, then steps --------------------------------------
# open: 0 in memory (text, slack 0..1100, fill byte), 1 file (place 0..3,
# bytes), 2 new text. Steps 0..9: read, find, search, set, set int, fail next
# allocation, comment buffer, save, reopen, close.

def ini_memory(text, slack=64, fill=0xA5):
    return Input().number(0, 0, 2).string(text).number(slack, 0, 1100).number(fill, *UINT8)


def ini_file(place, text):
    return Input().number(1, 0, 2).number(place, 0, 3).string(text)


def read(i, key, default=10000, low=100, high=50000):
    return i.number(0, 0, 9).string(key).number(default, *INT32).number(low, *INT32).number(high, *INT32)


def find(i, pattern, limit):
    return i.number(1, 0, 9).string(pattern).number(limit, 0, 5000)


def search_text(i, find_text):
    return i.number(2, 0, 9).string(find_text).flag(True)


def set_string(i, key, value):
    return i.number(3, 0, 9).string(key).string(value)


def set_int(i, key, value):
    return i.number(4, 0, 9).string(key).number(value, *INT32)


def step(i, code, *numbers):
    i.number(code, 0, 9)
    for value, low, high in numbers:
        i.number(value, low, high)
    return i


def ini_seeds():
    key = 'MinimumKBFree'
    s1 = ini_memory(key + '=500\r\n')
    read(s1, key)
    set_int(s1, key, 2000)
    find(s1, key + '=', len(key) + 12)
    step(s1, 7, (2, 0, 6))  # save in the current directory
    step(s1, 8)  # and read it back
    read(s1, key)

    s2 = ini_file(2, '[Section]\r\n; MinimumKBFree=1\r\nminimumkbfree=-7\rX\nOther=abc\n')
    read(s2, key, -5, -10, 10)
    set_string(s2, 'Other', 'value')
    set_string(s2, 'New', '1' * 1100)  # one growth step
    search_text(s2, 'OTHER=')
    step(s2, 7, (4, 0, 6))

    s3 = Input().number(2, 0, 2)  # no file anywhere: a new text
    step(s3, 6, (100, 1, 600))  # a comment buffer
    step(s3, 5)  # the next allocation fails
    set_int(s3, key, 10000)
    set_string(s3, key, '77')
    step(s3, 9)  # closed; everything after finds no text
    read(s3, key)

    s4 = ini_file(3, 'Key=12345678901\x00hidden')
    read(s4, 'Key', 0, -2**31, 2**31 - 1)
    set_string(s4, 'key', '')
    find(s4, '\n', 5)

    s5 = ini_memory('A=1\r\n', slack=0, fill=0x41)
    set_string(s5, 'A', '22')
    set_string(s5, 'B', 'x' * 1030)  # needs two growth steps: dropped
    read(s5, 'A', 0, 0, 100)

    s6 = ini_memory('N=-99999999999\r\nM=-4294967295\r\nP=4294967296\r\n')  # 32-bit strtoul's edges
    for key in 'NMP':
        read(s6, key, 0, *INT32)
    return [s1, s2, s3, s4, s5, s6]


# --- utf8_fuzz: the buffer size, then the bytes -------------------------------

def utf8_seeds():
    texts = [b'plain ascii', b'Caf\xe9', b'Caf\xc3\xa9', b'\xf0\x9f\x98\x80 and \xe9', b'\xc3', b'\xe2\x82\xac\xe2\x82',
             b'\xe9' * 130]
    seeds = []
    for n, text in enumerate(texts):
        i = Input().number([16, 256, 5, 0, 2, 300, 256][n], 0, 600)
        i.front += text
        seeds.append(i)
    return seeds


# --- dir_fuzz: the copy, the start folder, then steps -------------------------
# Steps 0..8: set the string, live string, drop or restore the record, change,
# read, push, pop, fail the next change, move the firmware.

def dir_input(latin1=False, folder=1):
    return Input().flag(latin1).number(folder, 0, 5)


def change(i, path):
    return i.number(3, 0, 8).string(path)


def dir_seeds():
    s1 = dir_input()
    step_dir(s1, 5)
    change(s1, '/ProgramFiles/Settings')
    step_dir(s1, 5)
    change(s1, 'Steadyflow')
    step_dir(s1, 4)
    step_dir(s1, 6)
    step_dir(s1, 6)
    step_dir(s1, 6)

    s2 = dir_input()
    s2.number(0, 0, 8).string('/mnt/hd/ProgramFiles/x')
    step_dir(s2, 4)
    s2.number(0, 0, 8).string('short')
    step_dir(s2, 5)
    s2.number(2, 0, 8).flag(True)  # no record
    step_dir(s2, 5)
    step_dir(s2, 6)
    step_dir(s2, 1)
    step_dir(s2, 6)

    s3 = dir_input(latin1=True, folder=0)
    change(s3, '/ProgramFiles/Lat\xe9')
    change(s3, '/ProgramFiles/Caf\xe9')
    step_dir(s3, 5)
    change(s3, '..')
    step_dir(s3, 6)

    s4 = dir_input(folder=5)
    s4.number(0, 0, 8).string('/mnt/hd' + '/x' * 100)
    step_dir(s4, 4)
    step_dir(s4, 1)
    for _ in range(17):
        step_dir(s4, 5)
    for _ in range(3):
        step_dir(s4, 6)

    s5 = dir_input(folder=2)
    step_dir(s5, 5)
    s5.number(8, 0, 8).number(0, 0, 5)
    step_dir(s5, 7)
    step_dir(s5, 6)
    change(s5, '/' + 'a' * 300)
    return [s1, s2, s3, s4, s5]


def step_dir(i, code):
    return i.number(code, 0, 8)


# --- elf_fuzz: the bytes of an ELF file ---------------------------------------
# A small shared object of either class: header, then the sections null,
# .shstrtab, .dynstr, .dynsym (an import and an export), .dynamic, one dynamic
# relocation section, .text and .bss, then the section header table.

class Elf:
    def __init__(self, bits):
        self.bits = bits
        self.w = 'Q' if bits == 64 else 'I'  # an address, offset or size

    def ehdr(self, machine, flags, shoff, shnum, shstrndx):
        ident = b'\x7fELF' + bytes([2 if self.bits == 64 else 1, 1, 1]) + bytes(9)
        ehsize, shentsize = (64, 64) if self.bits == 64 else (52, 40)
        return ident + struct.pack('<HHI3%sIHHHHHH' % self.w, 3, machine, 1, 0, 0, shoff, flags, ehsize, 0, 0,
                                   shentsize, shnum, shstrndx)

    def shdr(self, name, kind, flags, offset, size, link=0, info=0, entsize=0):
        w = self.w
        return struct.pack('<II%s%s%s%sII%s%s' % (w, w, w, w, w, w), name, kind, flags, 0, offset, size, link, info,
                           4, entsize)

    def sym(self, name, value, info, shndx):
        if self.bits == 64:
            return struct.pack('<IBBHQQ', name, info, 0, shndx, value, 0)
        return struct.pack('<IIIBBH', name, value, 0, info, 0, shndx)

    def dyn(self, tag, value):
        return struct.pack('<qQ' if self.bits == 64 else '<iI', tag, value)

    def rel(self, offset, symbol, kind):
        if self.bits == 64:
            return struct.pack('<QQq', offset, symbol << 32 | kind, 0)
        return struct.pack('<II', offset, symbol << 8 | kind)


def elf_image(bits, machine, flags, relocation):
    e = Elf(bits)
    shstrtab = b'\0.shstrtab\0.dynstr\0.dynsym\0.dynamic\0.rel.dyn\0.text\0.bss\0'
    dynstr = b'\0libc.so.0\0open\0TAP_Main\0'
    name = lambda text: shstrtab.index(b'\0' + text) + 1
    blobs = [
        (shstrtab, dict(name=name(b'.shstrtab'), kind=3, flags=0)),
        (dynstr, dict(name=name(b'.dynstr'), kind=3, flags=2)),
        (bytes(len(e.sym(0, 0, 0, 0))) + e.sym(11, 0, 0x12, 0) + e.sym(16, 0x400, 0x12, 6),
         dict(name=name(b'.dynsym'), kind=11, flags=2, link=2, info=1, entsize=len(e.sym(0, 0, 0, 0)))),
        (e.dyn(1, 1) + e.dyn(4, 0) + e.dyn(0, 0),
         dict(name=name(b'.dynamic'), kind=6, flags=3, link=2, entsize=len(e.dyn(0, 0)))),
        (e.rel(0x800, 1, relocation),
         dict(name=name(b'.rel.dyn'), kind=9 if bits == 32 else 4, flags=2, link=3, entsize=len(e.rel(0, 0, 0)))),
        (bytes.fromhex('0800e003' '00000000' * 3), dict(name=name(b'.text'), kind=1, flags=6)),
    ]
    body = bytearray(e.ehdr(machine, flags, 0, 0, 0))
    headers = [e.shdr(0, 0, 0, 0, 0)]
    for data, fields in blobs:
        body += bytes(-len(body) % 8)
        headers.append(e.shdr(offset=len(body), size=len(data), **fields))
        body += data
    headers.append(e.shdr(name(b'.bss'), 8, 3, len(body), 0x100))  # NOBITS: no bytes in the file
    body += bytes(-len(body) % 8)
    shoff = len(body)
    body[:len(e.ehdr(0, 0, 0, 0, 0))] = e.ehdr(machine, flags, shoff, len(headers), 1)
    return bytes(body) + b''.join(headers)


class Raw:
    def __init__(self, data):
        self.data = data

    def bytes(self):
        return self.data


def elf_seeds():
    mips = elf_image(32, 8, 0x50001007, 3)  # MIPS32 o32 PIC, R_MIPS_REL32
    x86_64 = elf_image(64, 62, 0, 6)  # R_X86_64_GLOB_DAT
    return [Raw(mips), Raw(x86_64)]

# --- options_fuzz: arguments separated by zero bytes ------------------------

class Arguments:
    def __init__(self, *args):
        self.args = args

    def bytes(self):
        return b'\0'.join(a.encode('latin-1') for a in self.args)


def options_seeds():
    return [
        Arguments('run', 'SteadyflowTest.tap', '--sandbox', 'sb', '--disk', 'd', '--start-dir', '/ProgramFiles',
                  '--terminals', '0,3', '--chdir-success', '0x10', '--event', '1:7:0', '--event', '0x20:3:4',
                  '--no-utf8', '--no-task-data', '--no-shell', '--trace'),
        Arguments('run', 'a.tap', '--terminals', 'none', '--chdir-success', '-2147483648'),
        Arguments('check', '--sandbox', 'build/run/host', '--module', 'x.tap'),
        Arguments('check', 'Steadyflow.ini'),
        Arguments('run', '--event', '1:2', 'b.tap', '--help'),
    ]


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
    for target, seeds in (('ini', ini_seeds()), ('utf8', utf8_seeds()), ('dir', dir_seeds()), ('elf', elf_seeds()),
                          ('options', options_seeds())):
        folder = os.path.join(root, target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for seed in seeds:
            data = seed.bytes()
            with open(os.path.join(folder, hashlib.sha1(data).hexdigest()[:16]), 'wb') as out:
                out.write(data)


if __name__ == '__main__':
    main()
