// A backup's source read by several reader processes at once. The snapshot device takes one
// page a request, so one reader waits out each page in turn; several keep that many requests
// in flight. Each reader also checksums the chunks it read and prepares the pieces to store
// (compressing them), so that work runs in parallel too. The backup takes the batches back
// in their order, so what it writes is the same whatever the number of readers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "agent/backup_extents.h"
#include "agent/compression.h"
#include "agent/result.h"

namespace zep {

// How many readers a backup uses unless told: zep backup of a dense 256 MiB image (random
// and text chunks alternating) on an idle 2-core host took 0.6 s with one reader, 0.45 s
// with 2, 0.65 s with 3, 1.6 s with 4 and 1.7 s with 8: past the processors, readers queue
// on the snapshot device's locks and each wait then costs a host wake-up.
constexpr int DEFAULT_READERS = 2;
constexpr int MAX_READERS = 32;

// A piece of the image (at most one chunk) ready to be stored: zeros (only mapped), raw, or
// its zstd frame.
struct prepared_piece {
	uint64_t start = 0;
	uint64_t length = 0;
	bool zero = false;
	std::vector<unsigned char> frame;	// empty: stored raw
};

// Decides how `bytes` (image bytes at start) are stored: compressed by c (when given and it
// pays), raw, or only mapped when all zero.
prepared_piece prepare_piece(uint64_t start, std::span<const unsigned char> bytes,
			     piece_compressor *c);

// What a backup stores of a chunk it has read: ranges of `chunk`, given whether the chunk's
// checksum differs from the parent's. Called from every reader at once.
using chunk_selector = std::function<std::vector<extent>(const extent &chunk, bool differs)>;

struct chunk_result {
	uint64_t index = 0;
	uint64_t checksum = 0;
	std::vector<prepared_piece> pieces;	// what the selector chose, in order
};

// One batch of the source, read and prepared.
struct read_batch {
	extent range;
	std::vector<unsigned char> bytes;	// the image's bytes of range
	std::vector<chunk_result> chunks;
};

struct read_plan {
	std::string node;		// the source's device node
	std::vector<extent> batches;	// chunk-aligned, in the order they are stored
	uint32_t chunk_size = 0;
	uint64_t image_size = 0;
	std::vector<uint64_t> parent_checksums;	// per chunk: what `differs` is told against
	chunk_selector select;
	compression_setting compression;
	int readers = DEFAULT_READERS;
};

// The reader processes of one backup; stopped and reaped on destruction (also when the
// caller is unwound by a fatal signal). Inside an emulated process.
class source_readers {
public:
	static result<source_readers> start(read_plan plan);
	source_readers(source_readers &&) noexcept;
	~source_readers();

	// The next batch in order (nothing after the last): its reader's error when it failed,
	// the source's open error as "cannot read the source: ...".
	result<std::optional<read_batch>> next();

	int readers() const;

	struct state;	// shared with the reader processes

private:
	explicit source_readers(std::shared_ptr<state> s);
	void stop();
	std::shared_ptr<state> s_;
};

} // namespace zep
