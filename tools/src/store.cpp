#include "recorder.hpp"

#include "msgpack_out.hpp"

#include <cstring>
#include <ctime>

namespace capture {

Store::Store(size_t budget_bytes, size_t segment_bytes, uint32_t segment_records)
    : budget(budget_bytes), segment_records_(segment_records), segment_bytes_(segment_bytes) {
    cur_.data.reserve(segment_capacity());
}

bool Store::admit_other(int64_t wall, bool& gap_started) {
    if (disabled_) {
        ++dropped;
        return false;
    }
    if (pending_ + in_flight_ >= budget) {
        if (gap_calls_ == 0) {
            gap_first_ = wall;
            gap_seq_before_ = seq_;
            gap_started = true;
            ++gaps;
        }
        ++gap_calls_;
        gap_last_ = wall;
        ++dropped;
        return false;
    }
    if (wall >= day_end_ns) {
        // the first call of a new local day starts a segment of its own, so the
        // writer can open the day's file before writing it
        seal();
        cur_.new_day = true;
        day_end_ns = INT64_MAX;
    }
    return true;
}

void Store::write_gap(uint64_t seq_after) {
    flush_carry();
    Buffer& out = cur_.data;
    const size_t before = out.size();
    msgpack::array(out, 6);
    msgpack::uint(out, kind_gap);
    msgpack::uint(out, gap_calls_);
    msgpack::sint(out, gap_first_);
    msgpack::sint(out, gap_last_);
    msgpack::uint(out, gap_seq_before_);
    msgpack::uint(out, seq_after);
    ++cur_.records;
    gap_calls_ = 0;
    grew(out.size() - before);
}

uint64_t Store::commit_call(int kind, std::string_view name_packed, int64_t wall, int64_t mono, uint64_t tid,
                            std::string_view tail, int tail_items) {
    const uint64_t seq = ++seq_;
    if (gap_calls_) write_gap(seq);
    flush_carry();
    Buffer& out = cur_.data;
    char* const start = out.room(head_room + name_packed.size() + tail.size());
    char* p = put_call_head(start, kind, seq, name_packed, wall, mono, tid, tail_items);
    std::memcpy(p, tail.data(), tail.size());
    p += tail.size();
    out.set_end(p);
    ++cur_.records;
    ++cur_.calls;
    grew(static_cast<size_t>(p - start));
    return seq;
}

void Store::append(std::string_view records, uint32_t n_records) {
    flush_carry();
    cur_.data.append(records);
    cur_.records += n_records;
    grew(records.size());
}

void Store::seal() {
    if (cur_.records == 0) return;
    flush_carry();
    // The segment's streaming stores before any later store of this thread.
    // (The writer thread reads a segment only after taking the interpreter
    // lock that this thread released, a locked instruction, which orders them
    // too, also when the writer seals the segment itself.)
    msgpack::stream_fence();
    sealed_.push_back(std::move(cur_));
    cur_ = Segment{};
    if (spare_.capacity() >= segment_capacity()) cur_.data = std::move(spare_);
    else cur_.data.reserve(segment_capacity());
}

void Store::recycle(Buffer& data) {
    // Only a segment of the ordinary size (not one a huge record grew), and only
    // while the budget is several segments: the spare is the one block of memory
    // besides the current segment that the budget does not count.
    const size_t cap = data.capacity();
    if (spare_.capacity() != 0 || cap < segment_capacity() || cap > 2 * segment_capacity() ||
        budget < 4 * segment_capacity())
        return;
    spare_ = std::move(data);
    spare_.clear();
}

Segment Store::take() {
    Segment s = std::move(sealed_.front());
    sealed_.pop_front();
    pending_ -= s.data.size();
    in_flight_ += s.data.size();
    return s;
}

uint64_t Store::discard() {
    seal();
    uint64_t calls = 0;
    for (const Segment& s : sealed_) calls += s.calls;
    sealed_.clear();
    pending_ = 0;
    return calls;
}

}  // namespace capture
