"""The capture file: a file header, then append-only chunks.

    file header   8 bytes  magic  b"TSLCAP\\r\\n"
                  2 bytes  format version (little-endian)
                  2 bytes  flags (0)
                  4 bytes  CRC-32 of the 12 bytes before it
    chunk header  4 bytes  b"TCHK"
                  4 bytes  payload length (compressed)
                  4 bytes  raw length (uncompressed)
                  4 bytes  number of records in the chunk
                  4 bytes  CRC-32 of the payload
                  4 bytes  CRC-32 of the 20 bytes before it
    payload       zstandard frame of the chunk's records, msgpack one after another

A chunk is written with one ``write`` and flushed, so a process that dies
mid-write loses at most that chunk; the reader notices a torn chunk (the file
ends inside it) or a corrupted one (a header, checksum, frame or record that
does not hold) by its offset, reports it and stops there.  Everything before
it reads normally.
"""
import io
import os
import struct
import zlib

import zstandard
# the chunks' CRC-32 (the same checksum as zlib's): about 20 times faster on a
# chunk's payload than zlib's, and short enough to run without letting go of the
# interpreter lock, which the writer would otherwise have to take back from the
# callbacks' thread once more per chunk
from zlib_ng.zlib_ng import crc32 as _chunk_crc32

# (not on every system)
_fadvise = getattr(os, "posix_fadvise", None)
_DONTNEED = getattr(os, "POSIX_FADV_DONTNEED", 0)
# bytes written between two times the file is sent on to the disk: the advice releases and
# takes back the interpreter lock, which the callbacks' thread then hands over once more
SEND_ON_BYTES = 8 << 20

MAGIC = b"TSLCAP\r\n"
FORMAT_VERSION = 2                                            # what the writer writes
READABLE_VERSIONS = (1, 2)
_FILE_HEAD = struct.Struct("<8sHH")
_FILE_CRC = struct.Struct("<I")
FILE_HEADER_SIZE = _FILE_HEAD.size + _FILE_CRC.size          # 16
CHUNK_MAGIC = b"TCHK"
_CHUNK_HEAD = struct.Struct("<4sIIII")
_CHUNK_CRC = struct.Struct("<I")
CHUNK_HEADER_SIZE = _CHUNK_HEAD.size + _CHUNK_CRC.size        # 24
MAX_CHUNK_BYTES = 1 << 30                                     # larger claims are corruption
# what a reader decompresses of one chunk at most, whatever the chunk declares: the writer's
# chunks hold a few thousand records (well under a megabyte); a larger chunk is refused
MAX_RAW_CHUNK_BYTES = 64 << 20


class CaptureError(Exception):
    """A file that cannot be read as a capture at all (the message says why)."""


class Damage:
    """Where and how the readable part of a capture ends early."""

    def __init__(self, path, offset, kind, detail):
        self.path, self.offset, self.kind, self.detail = path, offset, kind, detail

    def __str__(self):
        return f"{self.path}: {self.kind} chunk at offset {self.offset}: {self.detail}; reading stopped there"

    def as_dict(self):
        return {"path": str(self.path), "offset": self.offset, "kind": self.kind, "detail": self.detail}


def file_header():
    head = _FILE_HEAD.pack(MAGIC, FORMAT_VERSION, 0)
    return head + _FILE_CRC.pack(zlib.crc32(head))


def chunk_parts(raw, n_records, compressor):
    """The chunk header and the compressed payload of ``raw`` (any bytes-like object)."""
    payload = compressor.compress(raw)
    head = _CHUNK_HEAD.pack(CHUNK_MAGIC, len(payload), len(raw), n_records, _chunk_crc32(payload))
    return head + _CHUNK_CRC.pack(_chunk_crc32(head)), payload


def chunk_bytes(raw, n_records, compressor):
    head, payload = chunk_parts(raw, n_records, compressor)
    return head + payload


def compressor(level):
    """The zstandard compressor of the chunks.  At the fast (negative) levels matches
    shorter than 7 bytes are not looked for: most of a record is prices and volumes
    that differ from one call to the next, where short matches cost more to find and
    encode than they save.  A match table of 2**14 entries finds the repeated parts
    of the records (names, codes, shapes) as cheaply as a smaller one, and more of them."""
    if level < 0:
        params = zstandard.ZstdCompressionParameters.from_level(level, min_match=7, hash_log=14)
        return zstandard.ZstdCompressor(compression_params=params)
    return zstandard.ZstdCompressor(level=level)


class ChunkFile:
    """One capture file open for appending chunks.

    The file is unbuffered: each chunk goes to the system in whole, and a thread
    stuck in a write on a disk that does not answer holds no lock that the rest
    of the process (or its exit) would wait for.  Compression and writing release
    the interpreter lock.

    The writer's thread sends the file on to the disk itself, every few
    megabytes, and what the disk already holds leaves the page cache (nobody
    reads a capture while it is written).  Otherwise the system's own flusher
    threads write a day of capture back later, on whatever processor they find,
    the callbacks' among them, and the capture's pages push the process's own
    out of the cache."""

    def __init__(self, path, level=3):
        self.path = path
        d = os.path.dirname(os.path.abspath(path))
        os.makedirs(d, exist_ok=True)
        self._f = open(path, "xb", buffering=0)  # never overwrite an earlier capture
        self.size = 0
        self.chunks = 0
        self._sent_from = 0    # where the pages the system may still hold begin
        self._sent_to = 0      # the end of what was last sent on
        self._zc = compressor(level)
        self._write_all(file_header())

    def _write_all(self, data):
        view = memoryview(data)
        while view:
            n = self._f.write(view)
            self.size += n
            view = view[n:]

    def write(self, raw, n_records):
        head, payload = chunk_parts(raw, n_records, self._zc)
        # header and payload in one system call, the payload not copied behind the header
        n = os.writev(self._f.fileno(), (head, payload))
        self.size += n
        if n < len(head) + len(payload):
            self._write_all((head + payload)[n:])
        self.chunks += 1
        if _fadvise is not None and self.size - self._sent_to >= SEND_ON_BYTES:
            self._send_on()

    def _send_on(self):
        """Starts writing back what was written since the last time, and lets what was
        sent on then, written back by now, leave the cache.  Advice only: a failure of
        it changes nothing."""
        try:
            _fadvise(self._f.fileno(), self._sent_from, 0, _DONTNEED)
        except OSError:
            pass
        self._sent_from, self._sent_to = self._sent_to, self.size

    def close(self, sync=True):
        if self._f is None:
            return
        f, self._f = self._f, None
        try:
            if sync:
                try:
                    os.fsync(f.fileno())
                    if _fadvise is not None:
                        _fadvise(f.fileno(), self._sent_from, 0, _DONTNEED)  # all of it is on the disk
                except OSError:
                    pass
        finally:
            f.close()


def check_header(path, f):
    head = f.read(FILE_HEADER_SIZE)
    if len(head) < len(MAGIC) or head[:len(MAGIC)] != MAGIC:
        if MAGIC.startswith(head) and head:
            raise CaptureError(f"{path}: truncated capture: the file ends inside its header ({len(head)} bytes)")
        raise CaptureError(f"{path}: not a capture file (no capture header)")
    if len(head) < FILE_HEADER_SIZE:
        raise CaptureError(f"{path}: truncated capture: the file ends inside its header ({len(head)} bytes)")
    magic, version, flags = _FILE_HEAD.unpack_from(head)
    (crc,) = _FILE_CRC.unpack_from(head, _FILE_HEAD.size)
    if crc != zlib.crc32(head[:_FILE_HEAD.size]):
        raise CaptureError(f"{path}: corrupted capture header (checksum mismatch)")
    if version not in READABLE_VERSIONS:
        raise CaptureError(f"{path}: capture format version {version} is not supported "
                           f"(this reader knows versions {', '.join(map(str, READABLE_VERSIONS))})")
    return version


def _decompress(zd, payload, limit):
    """The chunk's records, never more than ``limit`` bytes of them: the frame's own size
    claim is not trusted (a small frame can claim, or expand to, gigabytes)."""
    reader = zd.stream_reader(io.BytesIO(payload), read_across_frames=True)
    raw = reader.read(limit + 1)
    if len(raw) > limit:
        raise ValueError(f"it decodes to more than {limit} bytes")
    return raw


def iter_chunks(path, f, on_damage, max_raw=None):
    """Yields ``(offset, raw bytes, n_records)`` per chunk; calls ``on_damage(Damage)``
    and stops at the first torn or corrupted chunk.  A chunk declaring, or decoding to,
    more than ``max_raw`` bytes is corrupted."""
    max_raw = MAX_RAW_CHUNK_BYTES if max_raw is None else max_raw
    zd = zstandard.ZstdDecompressor()
    offset = FILE_HEADER_SIZE
    while True:
        head = f.read(CHUNK_HEADER_SIZE)
        if not head:
            return
        if len(head) < CHUNK_HEADER_SIZE:
            on_damage(Damage(path, offset, "torn", f"the file ends inside the chunk header "
                                                   f"({len(head)} of {CHUNK_HEADER_SIZE} bytes)"))
            return
        magic, plen, rlen, n, pcrc = _CHUNK_HEAD.unpack_from(head)
        (hcrc,) = _CHUNK_CRC.unpack_from(head, _CHUNK_HEAD.size)
        if magic != CHUNK_MAGIC or hcrc != zlib.crc32(head[:_CHUNK_HEAD.size]):
            on_damage(Damage(path, offset, "corrupted", "bad chunk header"))
            return
        if plen > max_raw + (max_raw >> 7) + 1024 or rlen > max_raw:
            on_damage(Damage(path, offset, "corrupted", f"implausible chunk size {plen}/{rlen} "
                                                        f"(at most {max_raw} bytes decoded)"))
            return
        payload = f.read(plen)
        if len(payload) < plen:
            on_damage(Damage(path, offset, "torn", f"the file ends inside the chunk "
                                                   f"({len(payload)} of {plen} payload bytes)"))
            return
        if zlib.crc32(payload) != pcrc:
            on_damage(Damage(path, offset, "corrupted", "payload checksum mismatch"))
            return
        try:
            raw = _decompress(zd, payload, rlen)
        except (zstandard.ZstdError, ValueError) as exc:
            on_damage(Damage(path, offset, "corrupted", f"compressed payload does not decode ({exc})"))
            return
        if len(raw) != rlen:
            on_damage(Damage(path, offset, "corrupted", f"payload decodes to {len(raw)} bytes, not {rlen}"))
            return
        yield offset, raw, n
        offset += CHUNK_HEADER_SIZE + plen
