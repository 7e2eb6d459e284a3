// The capture's record store: records encoded at the moment of the call wait
// here, in segments, until the writer thread takes them. The store is bounded
// by a memory budget: once the bytes waiting (and the bytes the writer holds)
// reach it, calls are dropped and counted as one gap, which goes into the
// capture before the next call that is kept. Every operation runs with the
// interpreter lock held, which is what makes the store safe between threads.
#pragma once

#include "msgpack_out.hpp"
#include "pyref.hpp"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace capture {

// Record kinds written here (the first element of every record).
inline constexpr int kind_call = 2;
inline constexpr int kind_gcall = 3;
inline constexpr int kind_gap = 9;
// Extension code of a tuple's contents.
inline constexpr int8_t ext_tuple = 2;

// Wall and monotonic clocks, as time.time_ns() and time.monotonic_ns() read them.
inline int64_t clock_ns(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
inline int64_t wall_ns() { return clock_ns(CLOCK_REALTIME); }
inline int64_t monotonic_ns() { return clock_ns(CLOCK_MONOTONIC); }

// The moments of a market-data call, read with one clock: the monotonic clock
// at the call, and the wall clock as the monotonic one plus their difference,
// read again once a millisecond. A read of a clock is a sizeable share of what
// recording such a call costs; the wall time so found is off by no more than
// the clock's slewing over a millisecond (half a microsecond at most), and a
// wall clock that is set shows within a millisecond.
struct CallClock {
    int64_t wall_minus_mono;
    int64_t fresh_until;  // the monotonic time after which the difference is read again (0: never read)

    void now(int64_t& wall, int64_t& mono) {
        mono = monotonic_ns();
        if (mono < fresh_until) {
            wall = mono + wall_minus_mono;
            return;
        }
        wall = wall_ns();
        wall_minus_mono = wall - mono;
        fresh_until = mono + 1000000;
    }
};

struct Segment {
    Buffer data;
    uint32_t records = 0;
    uint32_t calls = 0;
    bool new_day = false;  // the first record of a new local day: the writer opens the next file first
};

struct Cursor;

class ValuePacker {
public:
    // fallback(value) -> bytes packs what is not packed here; enum_base is enum.Enum.
    ValuePacker(PyObject* fallback, PyObject* enum_base);
    ~ValuePacker();
    ValuePacker(const ValuePacker&) = delete;
    ValuePacker& operator=(const ValuePacker&) = delete;

    // The lists and tuples being packed, innermost first: one met again inside
    // itself is a cycle, which the fallback keeps apart (walking it here would
    // visit it twice as often at every level down to max_depth).
    struct Path {
        PyObject* container;
        const Path* up;
        bool holds(PyObject* v) const {
            for (const Path* p = this; p != nullptr; p = p->up)
                if (p->container == v) return true;
            return false;
        }
    };
    // Appends the msgpack form of v; false with a Python exception set.
    bool pack(Buffer& out, PyObject* v, int depth = 0, const Path* path = nullptr);
    bool pack_fallback(Buffer& out, PyObject* v);
    // The values that are most of every market-data record, packed inline with
    // no call out; false (nothing written) for any other value.
    static bool pack_plain(Buffer& out, PyObject* v) {
        if (char* end = msgpack::raw::scalar(out.room(9), v)) {
            out.set_end(end);
            return true;
        }
        if (Py_TYPE(v) == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(v)) {
            msgpack::str(out, std::string_view(static_cast<const char*>(PyUnicode_DATA(v)),
                                               static_cast<size_t>(PyUnicode_GET_LENGTH(v))));
            return true;
        }
        return false;
    }
    // Appends the msgpack form of v when doing so runs no Python code: the
    // plain values, bytes, wider ints, non-ASCII text, enumeration members met
    // before, and lists and tuples of those, a few levels deep. False for any
    // other value, with part of it possibly written (the caller rewinds) and no
    // exception set: pack() then packs it the way that may run code.
    bool pack_quiet(Buffer& out, PyObject* v, int depth = 0);
    // The same for the values at the given offsets of object `base` (a slot
    // left unset gives up too): the attributes of a slotted record.
    bool pack_quiet_slots(Buffer& out, const char* base, const int32_t* offsets, size_t n);
    // Counts the times packing ran Python code (which may change anything).
    uint64_t python_runs() const { return python_runs_; }
    int traverse(visitproc visit, void* arg) const;
    void clear();

private:
    bool pack_other(Buffer& out, PyObject* v);
    [[gnu::noinline, gnu::cold]] bool pack_slot_other(Cursor& c, PyObject* v, size_t left);
    using PackedMember = msgpack::PaddedBytes;
    // An enumeration member packed before, or null; one probe of a small table
    // in front of the map (most records hold the same few members).
    const PackedMember* known_member(PyObject* v) {
        MemberMemo& memo = memo_[(reinterpret_cast<uintptr_t>(v) >> 4) % memo_size];
        if (memo.member == v) [[likely]]
            return memo.packed;
        return find_member(memo, v);
    }
    struct MemberMemo {
        PyObject* member = nullptr;  // borrowed: members_ holds the reference
        const PackedMember* packed = nullptr;
    };
    // The member's packed form from the map, remembered in its memo slot; null if not met before.
    [[gnu::noinline, gnu::cold]] const PackedMember* find_member(MemberMemo& memo, PyObject* v);
    static constexpr size_t memo_size = 64;
    bool pack_sequence(Buffer& out, PyObject* seq, int depth, const Path* path);

    Ref fallback_;
    Ref enum_base_;
    // enumeration members met so far, by identity, and their packed form (a reference held on each)
    std::unordered_map<PyObject*, PackedMember> members_;
    MemberMemo memo_[memo_size];
    uint64_t python_runs_ = 0;
};

class alignas(64) Store {
public:
    Store(size_t budget, size_t segment_bytes, uint32_t segment_records);

    // A call is about to be recorded at wall time `wall`: true if it is kept,
    // false if it is dropped (counted in the current gap). `gap_started`
    // tells the caller to report a new gap.
    bool admit(int64_t wall, bool& gap_started) {
        gap_started = false;
        if (!disabled_ && pending_ + in_flight_ < budget && wall < day_end_ns) [[likely]]
            return true;
        return admit_other(wall, gap_started);  // dropped, or the first call of a new day
    }
    // Appends one call record; returns its sequence number.
    uint64_t commit_call(int kind, std::string_view name_packed, int64_t wall, int64_t mono, uint64_t tid,
                         std::string_view tail, int tail_items);
    // A call record packed in place, for a call whose values run no Python
    // code while packed (nothing else reaches the store between its head and
    // its end). begin_call writes the head, with the sequence number the call
    // gets if it is committed, then `lead` (what the record's items begin
    // with), into the staging buffer after the segment's carried bytes, and
    // returns where the record starts there; the caller appends the rest to
    // current(), then commits or rewinds to that start. No gap may be open
    // (its record goes first).
    //
    // Why a staging buffer: a segment is written once and read next by the
    // writer thread, so its lines are written with streaming stores that do
    // not pass through this core's caches (a snapshot's record is five or six
    // lines, which would otherwise push out as many lines of what the
    // callbacks use). Those stores go in whole 64-byte lines; the bytes after
    // the last whole line are carried (at most 63), in front of the next
    // record. The staging buffer itself is written again by every call, so
    // it stays in the cache.
    size_t begin_call(int kind, const msgpack::PaddedBytes& name_packed, int64_t wall, int64_t mono, uint64_t tid,
                      int tail_items, const msgpack::PaddedBytes& lead) {
        Buffer& out = staged_;
        out.clear();
        char* p = out.room(sizeof carry_ + head_room + name_packed.room() + lead.room());
        std::memcpy(p, carry_, sizeof carry_);
        p += carry_n_;
        *p++ = static_cast<char>(0x90 | (6 + tail_items));  // a fixarray: at most 15 items
        *p++ = static_cast<char>(kind);                      // a positive fixint
        p = msgpack::raw::uint(p, seq_ + 1);
        p = name_packed.copy_to(p);
        p = msgpack::raw::wide(p, wall);
        p = msgpack::raw::wide(p, mono);
        p = msgpack::raw::uint(p, tid);
        out.set_end(lead.copy_to(p));
        return carry_n_;
    }
    Buffer& current() { return staged_; }
    uint64_t commit_begun(size_t start) {
        const size_t n = staged_.size();
        staged_.room(sizeof carry_);  // the carried bytes are copied a whole line at a time
        stream_in(staged_.data(), n);
        if (staged_.capacity() > (1u << 20)) [[unlikely]]
            staged_.release();  // a rare huge record does not keep its memory
        ++cur_.records;
        ++cur_.calls;
        const uint64_t seq = ++seq_;
        grew(n - start);
        return seq;
    }
    void rewind(size_t start) { staged_.truncate(start); }
    void append(std::string_view records, uint32_t n_records);
    // Writes the gap still open (the capture ends inside it): the next
    // sequence number is the one no call got.
    void close_gap() {
        if (gap_calls_ && !disabled_) write_gap(seq_ + 1);
    }
    uint64_t next_seq() { return ++seq_; }

    bool has_sealed() const { return !sealed_.empty(); }
    // Whether a segment filled up since the last time this was asked: the
    // writer is then woken for it rather than left to its next round.
    bool take_filled() {
        if (!filled_) return false;
        filled_ = false;
        return true;
    }
    bool has_current() const { return cur_.records > 0; }
    void seal();
    Segment take();
    void release(size_t n) { in_flight_ = n > in_flight_ ? 0 : in_flight_ - n; }
    // The memory of a segment the writer is done with: one is kept for the
    // next segment (already touched, so filling it costs no page faults and
    // freeing it no unmapping); the rest is freed with its buffer.
    void recycle(Buffer& data);
    // Forgets every waiting record; returns the calls among them.
    uint64_t discard();
    void disable() { disabled_ = true; }
    bool disabled() const { return disabled_; }

    // (budget and day_end_ns: see below, with the other fields every call reads)
    uint64_t dropped = 0;  // calls not recorded: budget full or capture stopped
    uint64_t gaps = 0;
    size_t pending() const { return pending_; }
    size_t in_flight() const { return in_flight_; }
    size_t peak() const { return peak_; }
    uint64_t last_seq() const { return seq_; }
    uint64_t gap_calls() const { return gap_calls_; }

private:
    [[gnu::cold]] bool admit_other(int64_t wall, bool& gap_started);
    void write_gap(uint64_t seq_after);
    // Appends the carried bytes and then src's n bytes to the current segment:
    // the whole lines with streaming stores, the rest carried. Only after an
    // ordinary append is the segment's end inside a line: the bytes up to the
    // next line go in with ordinary stores first.
    void stream_in(const char* src, size_t n) {
        Buffer& seg = cur_.data;
        char* d = seg.room(n);  // (the carried bytes are src's first ones)
        size_t k = (0 - reinterpret_cast<uintptr_t>(d)) & 63;
        if (k != 0) [[unlikely]] {
            if (k > n) k = n;
            std::memcpy(d, src, k);
        }
        const size_t lines = (n - k) / 64;
        msgpack::stream_lines(d + k, src + k, lines);
        const size_t kept = k + lines * 64;
        seg.commit(kept);
        carry_n_ = static_cast<uint32_t>(n - kept);
        std::memcpy(carry_, src + kept, sizeof carry_);  // src has room for a line past its end
    }
    // The carried bytes into the segment, with ordinary stores: before any
    // other append, and when the segment is sealed.
    void flush_carry() {
        if (carry_n_ == 0) return;
        cur_.data.append(std::string_view(carry_, carry_n_));
        carry_n_ = 0;
    }
    void grew(size_t n) {
        pending_ += n;
        if (pending_ + in_flight_ > peak_) peak_ = pending_ + in_flight_;
        if (cur_.data.size() >= segment_bytes_ || cur_.records >= segment_records_) [[unlikely]] {
            seal();
            filled_ = true;
        }
    }
    // kind, seq, name, wall, mono, thread: at most 9 bytes each besides the name
    static constexpr size_t head_room = 64;
    static char* put_call_head(char* p, int kind, uint64_t seq, std::string_view name_packed, int64_t wall,
                               int64_t mono, uint64_t tid, int tail_items) {
        *p++ = static_cast<char>(0x90 | (6 + tail_items));  // a fixarray: at most 15 items
        p = msgpack::raw::uint(p, static_cast<uint64_t>(kind));
        p = msgpack::raw::uint(p, seq);
        std::memcpy(p, name_packed.data(), name_packed.size());
        p += name_packed.size();
        p = msgpack::raw::sint(p, wall);
        p = msgpack::raw::sint(p, mono);
        return msgpack::raw::uint(p, tid);
    }
    size_t segment_capacity() const { return segment_bytes_ + segment_bytes_ / 8; }

public:
    // Every call reads the fields from here to carry_, which share three cache
    // lines with dropped and gaps: the call's clock and the thread that called
    // last are kept here too, so that a call reads the store and nothing of the
    // recorder that owns it.
    size_t budget;
    int64_t day_end_ns = INT64_MAX;
    CallClock clock{};
    unsigned long last_thread = 0;  // the thread that called last (registered); no thread has ident 0

private:
    size_t pending_ = 0;
    size_t in_flight_ = 0;
    uint64_t gap_calls_ = 0;
    uint64_t seq_ = 0;
    bool disabled_ = false;
    bool filled_ = false;
    uint32_t segment_records_;
    size_t segment_bytes_;
    Segment cur_;
    uint32_t carry_n_ = 0;
    Buffer staged_;  // the carried bytes, then the call record being packed in place
    size_t peak_ = 0;
    alignas(16) char carry_[64] = {};  // the segment's bytes after its last whole line
    // the rest: the writer's side, the gap being counted
    std::deque<Segment> sealed_;
    Buffer spare_;  // a written segment's memory, empty, for the next one
    int64_t gap_first_ = 0;
    int64_t gap_last_ = 0;
    uint64_t gap_seq_before_ = 0;
};

// The Python object that owns a Store, the value packer and the hooks.
struct Recorder {
    PyObject_HEAD
    Store* store;  // with the call's clock and the thread that called last
    ValuePacker* packer;
    Ref missing_hook;  // exception -> bytes: the packed form of an attribute whose lookup raised
    Ref thread_hook;   // thread ident -> None: registers a thread (its record goes in first)
    Ref gap_hook;      // () -> None: a gap began
    Ref raised_hook;   // (seq, exception) -> None: a recorded call raised
    Ref filled_hook;   // () -> None: a segment is full, the writer has work (None: not told)
    std::vector<unsigned long>* threads;  // thread idents already registered
};

extern PyTypeObject RecorderType;
extern PyTypeObject HotMethodType;
extern PyTypeObject ChunkType;


// Registers a new thread through the hook; false with an exception set.
[[gnu::cold]] bool register_thread(Recorder* r, unsigned long tid);
inline bool ensure_thread(Recorder* r, unsigned long tid) {
    return tid == r->store->last_thread || register_thread(r, tid);
}
// Reports a new gap through the hook (its failure is not the caller's).
[[gnu::cold]] void report_gap(Recorder* r);
// Tells the writer through the hook, if there is one, that a segment filled
// up with the call just recorded (its failure is not the caller's).
[[gnu::cold]] void report_filled(Recorder* r);
inline void wake_writer(Recorder* r) {
    if (r->filled_hook) report_filled(r);
}

// A buffer its owner reuses between calls. Packing can run Python code, which
// can let another thread in, or call back into the capture: a call that finds
// the buffer in use packs into one of its own.
class Scratch {
public:
    Scratch(Buffer& shared, bool& busy) : busy_(busy), pooled_(!busy) {
        buf_ = pooled_ ? &shared : &own_;
        busy_ = true;
        buf_->clear();
    }
    ~Scratch() {
        if (!pooled_) return;
        busy_ = false;
        if (buf_->capacity() > (1u << 20)) buf_->release();  // a rare huge record does not keep its memory
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    Buffer& buf() { return *buf_; }

private:
    bool& busy_;
    bool pooled_;
    Buffer own_;
    Buffer* buf_;
};

}  // namespace capture
