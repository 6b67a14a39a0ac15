#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/seed-*): the job
streams of the tests and examples in each target's input encoding. Run it again after
changing an encoding; files that a fuzzer found (crash-*, regression-*) are kept."""
import os
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


# The JobLogRecord's layout as core/records.h pins it: field offsets, size and magic.
with open(os.path.join(os.path.dirname(HERE), 'core', 'records.h')) as _header:
    _RECORDS_H = _header.read()
JOB_LOG = {name: int(offset) for name, offset in
           re.findall(r'offsetof\(JobLogRecord, (\w+)\) == (\d+)', _RECORDS_H)}
JOB_LOG['magic'] = 0  # the first field
JOB_LOG_BYTES = int(re.search(r'sizeof\(JobLogRecord\) == (\d+)', _RECORDS_H).group(1))
JOB_LOG_RECORD_MAGIC = int(
    re.search(r'#define JOB_LOG_RECORD_MAGIC (0x[0-9A-Fa-f]+)u', _RECORDS_H).group(1), 16)


def u16(v): return struct.pack('<H', v)
def u32(v): return struct.pack('<I', v)
def utf16(text): return text.encode('utf-16-le')


# --- job target: see job_fuzzer.cpp for the encoding ---------------------------------
def op(code, slot=0): return bytes([code | (slot << 4)])
def raw(data, slot=0): return op(0, slot) + u16(len(data)) + data
def header(flags, slot=0): return op(2, slot) + bytes([flags])
def overlay_control(mode, path_index=0, slot=0): return op(3, slot) + bytes([mode, path_index])
def overlay_header(slot=0): return op(4, slot) + bytes(range(256)) + bytes(188)
def archive_location(dir_index, doc, file_name='', slot=0):
    out = op(5, slot) + bytes([dir_index])
    if file_name:
        units = (len(file_name) + 2) // 3
        out += bytes([0x80 | units]) + utf16(file_name.ljust(units * 3, '_'))
    else:
        out += bytes([0])
    return out + u16(len(doc)) + utf16(doc)
def archive_header(slot=0):
    rec = bytearray(b' ' * 380)
    rec[292:300] = u32(1) + u32(1)
    return op(6, slot) + bytes(rec)
def job_log(log_flags, slot=0, document='Fallback.plt'):
    rec = bytearray(JOB_LOG_BYTES)
    def put(name, data): rec[JOB_LOG[name]:JOB_LOG[name] + len(data)] = data
    put('magic', u32(JOB_LOG_RECORD_MAGIC))
    put('leadingText', utf16('PrintLog'))
    put('fallbackDocumentName', utf16(document))
    put('year', struct.pack('<8H', 2026, 12, 7, 9, 41, 5, 250, 1))  # year to dayOfWeek
    put('text200', utf16('A1 plan'))
    put('text216', utf16('Sheet "2"\tdraft'))
    put('ansi240', b'PLOTTER-7')
    put('ansi416', b'MEDIA')
    put('ansi424', b'ROLL-914')
    put('text440', utf16('ABC'))
    put('ansi464', b'accounting code')
    put('logFlags', bytes([log_flags]))
    put('extraText', utf16('extra text'))
    put('extraBlock', bytes(range(128)))
    return op(7, slot) + bytes(rec)
def tail(flags, pages, slot=0): return op(8, slot) + bytes([flags]) + u32(pages)
def marker(slot=0): return op(9, slot)
def start_page(slot=0): return op(10, slot)
def end_page(slot=0): return op(11, slot)
def end_doc(slot=0, extra=0): return op(12, slot) + bytes([extra])
def abort(slot=0, extra=0): return op(13, slot) + bytes([extra])
def fault(what, nth): return bytes([0x4F, what, nth])
def setting(which, data): return op(14) + bytes([which]) + u16(len(data)) + data

DATA = b'IN;SP1;PA0,0;PD2000,0,2000,2000;\n'
JOB_SEEDS = {
    'plain-print': bytes([0]) + header(0) + raw(DATA) + start_page() + end_page() + end_doc(),
    'archived-job': bytes([0]) + header(2) + archive_location(1, 'site plan') +
        archive_header() + start_page() + raw(DATA) + raw(bytes(1000)) + end_page() +
        tail(2, 12) + end_doc(),
    'archive-explicit-name': bytes([0]) + header(2) + archive_location(0, 'doc', 'plan') +
        archive_header() + raw(DATA) + end_doc(),
    'archive-abort': bytes([3 << 2]) + header(2) + archive_location(2, 'x:y*z?') +
        archive_header() + raw(DATA) + abort(),
    'overlay-register-then-framed': bytes([0]) + header(1) + overlay_control(1) +
        overlay_header() + raw(bytes(600)) + end_doc() + header(1) + overlay_control(0) +
        raw(DATA) + marker() + raw(DATA) + marker() + end_doc(),
    'overlay-register-then-raw-archive': bytes([0]) + header(1) + overlay_control(1) +
        overlay_header() + raw(DATA) + end_doc() + header(3) + overlay_control(4) +
        archive_location(0, 'overlaid') + archive_header() + marker() + raw(DATA) +
        marker() + end_doc(),
    'accounting-standard': bytes([0]) + header(4) + raw(DATA) + job_log(0) + end_doc(),
    'accounting-extended': bytes([1]) + header(6) + archive_location(0, 'acct') +
        archive_header() + job_log(0x1D) + raw(DATA) + tail(3, 4) + end_doc(),
    'accounting-settings': bytes([0x10]) + setting(0, utf16('C:\\Logs\0')) +
        setting(1, u32(1)) + header(4) + job_log(0x0B) + end_doc(),
    'two-jobs-one-directory': bytes([0]) + header(2, 0) + header(2, 1) +
        archive_location(0, 'same', slot=0) + archive_location(0, 'same', slot=1) +
        archive_header(0) + archive_header(1) + raw(DATA, 0) + raw(DATA, 1) +
        end_doc(0) + end_doc(1),
    'high-job-flag': bytes([0]) + header(0x83) + overlay_control(0) +
        archive_location(0, 'hi') + archive_header() + raw(DATA) + end_doc(0, 3),
    # HostOp order: Alloc, CreateFile, ReadFile, WriteFile, SetFilePointer,
    # CreateDirectory, Registry, WritePrinter, GetJob, GetPrinter, LoadLibrary, ...
    'archive-with-write-fault': bytes([0]) + fault(3, 3) + header(6) +
        archive_location(1, 'faulted') + archive_header() + raw(DATA) + raw(DATA) +
        job_log(0x01) + end_doc(),
    'accounting-with-alloc-fault': bytes([0]) + fault(0, 4) + header(4) + job_log(0x19) +
        raw(DATA) + end_doc(),
    'short-records': bytes([0]) + header(7) + raw(b'\x04') + raw(b'C') + raw(b'') +
        raw(bytes(2779)) + end_doc(),
}

# --- log formatter target ----------------------------------------------------------
SLOTS = [(32, 32), (192, 512), (200, 512), (208, 512), (216, 512), (224, 512), (232, 512),
         (240, 256), (416, 256), (424, 256), (440, 256), (464, 256), (480, 256), (640, 256)]
def text_slot(size, text):
    data = text[:size - 1]
    return data + bytes(size - len(data))
def log_entry_seed(choice, texts, null_mask=0):
    size = 496 if choice % 5 == 0 else 752
    entry = bytearray(size)
    entry[0:12] = u32(0xFFFFFFFF) + u32(1 if size == 496 else 0x2F) + u32(0x03FFFFFF)
    entry[12:28] = struct.pack('<8H', 2026, 12, 1, 7, 9, 41, 5, 250)
    entry[248:260] = u32(3) + u32(4) + u32(5)
    out = bytes([choice]) + bytes(entry) + u16(null_mask)
    for i, (offset, slot) in enumerate(SLOTS):
        if offset + 8 > size or (null_mask >> i) & 1:
            continue
        out += text_slot(slot, texts.get(offset, b''))
    return out + b'log\0' + bytes(36) + bytes([8])
LOG_TEXTS = {32: b'SPOOLHOST', 192: b'alice', 200: b'A1 plan', 208: b'Wide Format',
             216: b'Sheet "2",\r\ndraft', 224: b'LPT1:', 232: b'Drawing.plt', 240: b'PLOTTER',
             416: b'MEDIA', 424: b'ROLL', 440: utf16('ABC'), 464: b'code', 640: b'extra'}
LOG_SEEDS = {
    'standard': log_entry_seed(0x00, LOG_TEXTS),
    'standard-written': log_entry_seed(0xC0, LOG_TEXTS),
    'extended-text': log_entry_seed(0x11 | 0x80, LOG_TEXTS),
    'extended-block': log_entry_seed(0x19, LOG_TEXTS),
    'null-slots': log_entry_seed(0x01, LOG_TEXTS, 0x2AAA),
    'unknown-format': log_entry_seed(0x02, LOG_TEXTS),
}

# --- archive naming target ---------------------------------------------------------
def field(text, extra=0): return u16(len(text) + extra) + utf16(text)
def naming_seed(setup, replace, directory, file_name, document):
    out = bytes([setup]) + u16(len(replace) + 1) + u16(256) + utf16(replace)
    if setup & 1:
        out += field(directory)
    return out + field(file_name) + field(document)
NAMING_SEEDS = {
    'document-name': naming_seed(0x02, 'A/B:C', '', '', 'Report'),
    'numbered': naming_seed(0x02 | 0x04 | (5 << 3), 'x', '', '', 'Report'),
    'explicit-name': naming_seed(0x04, 'plan', '', 'plan', 'ignored'),
    'long-directory': naming_seed(0x03, '\\/:,;*?"<>|', 'C:\\' + 'd' * 240, '', 'n' * 20),
    'unterminated': naming_seed(0x03, 'y' * 300, 'C:\\Jobs\\' + 'e' * 248, 'f' * 256, 'g' * 256),
}

# --- printer name target -----------------------------------------------------------
def name_part(text, with_prefix):
    return bytes([(len(text) << 1) | (1 if with_prefix else 0)]) + utf16(text)
PRINTER_SEEDS = {
    'local': bytes([0x04]) + name_part('', False) + name_part('Wide Format', False),
    'csr-stored': bytes([0x02]) + name_part('srv1', True) + name_part('srv1\\Wide', True) +
        u16(24) + utf16('Plotter on 7\0') + bytes([1]),
    'csr-unterminated': bytes([0x02]) + name_part('srv1', True) + name_part('srv1\\W', True) +
        u16(448) + utf16('p' * 224) + bytes([1]),
    'csr-missing': bytes([0x00]) + name_part('srv2', True) + name_part('srv2\\Gone', True),
    'old-platform': bytes([0x01]) + name_part('srv1', True) + name_part('srv1\\Wide', True),
    'small-capacity': bytes([0x08]) + name_part('', False) + name_part('Wide Format', False) +
        bytes([3]),
}

# --- capture target: the job seeds as the spoolgate command's captures -------------
def capture(blocks, end=4):
    out = bytes([0x89]) + b'SGCAP\r\n' + u32(1)
    for kind, data in blocks:
        out += bytes([kind]) + (u32(len(data)) + data if kind == 1 else b'')
    return out + bytes([end])
def header_block(flags): return (1, u32(flags) + bytes([0xA5]) * 32)
CAPTURE_SEEDS = {
    'plain-print': capture([header_block(0), (2, b''), (1, DATA), (3, b'')]),
    'archived-job': capture([header_block(2), (1, bytes(1536)), (1, bytes(380)), (1, DATA)]),
    'aborted': capture([header_block(4), (1, DATA)], end=5),
    'empty-blocks': capture([(1, b''), (1, b''), (2, b''), (3, b'')]),
}


def write(target, seeds):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        if name.startswith('seed-'):
            os.remove(os.path.join(folder, name))
    for name, data in seeds.items():
        with open(os.path.join(folder, 'seed-' + name), 'wb') as f:
            f.write(data)


def main():
    write('job', JOB_SEEDS)
    write('log_format', LOG_SEEDS)
    write('archive_naming', NAMING_SEEDS)
    write('printer_name', PRINTER_SEEDS)
    write('capture', CAPTURE_SEEDS)
    return 0


if __name__ == '__main__':
    sys.exit(main())
