#pragma once
// How many sample-index entries the header of an ISO base media file (mp4, mov,
// m4a, 3gp) makes libavformat build before it reads a single sample.
//
// The demuxer allocates and fills one index entry a sample from counts the header
// states, and several of them need no bytes to back them: a constant sample size
// with a count of millions, chunks of billions of audio samples, an edit list that
// repeats the whole track a thousand times, a fragment run of samples without
// fields. A file of a few kilobytes can so claim gigabytes of index. The count here
// is an upper bound read from the boxes before the demuxer sees them, so that a
// load can refuse a file that claims more than it could hold.

#include <cstdint>

namespace platform::linux_backend {

class BudgetedFile;

// Sums what every box that feeds the index claims (sample sizes, chunks, edits,
// fragment runs, encrypted samples), looking into every top-level box but the
// media data, a compressed movie header included. Reads through
// BudgetedFile::peek: at most the file's read budget, a heavy load past the
// light size. Conservative: a count found anywhere in a box counts.
uint64_t claimedIndexEntries(BudgetedFile& file);

// Whether a header that claims `entries` index entries may be handed to the
// demuxer: no more than one entry for every 8 bytes the file stores, but always
// 1 Mi entries (a truncated recording keeps its whole header) and never over
// 8 Mi (about 300 MB of index and its companions, beyond the longest file a
// load can read: a table of 24 MiB describes 6 Mi samples).
bool claimsFitTheFile(uint64_t entries, int64_t storedBytes);

// What the demuxer keeps for one index entry (the entry, its composition time and
// its size), for weighing a claim against the light-load size.
inline constexpr uint64_t kBytesPerIndexEntry = 36;

} // namespace platform::linux_backend
