#include "agent/backup_restore.h"

#include <chrono>

#include <fmt/format.h>

#include "agent/backup_io.h"
#include "agent/backup_reader.h"
#include "agent/backup_repo.h"
#include "agent/unfinished.h"

namespace zep {

namespace {

bool is_device(const std::string &path)
{
	return path.rfind("/dev/", 0) == 0;
}

// A host file that is removed again unless the restore completes (by a signal's handler too).
struct unfinished_target {
	std::string path;
	bool done = false;
	explicit unfinished_target(std::string p) : path(std::move(p))
	{
		if (!path.empty())
			unfinished::add(path);
	}
	~unfinished_target()
	{
		if (path.empty())
			return;
		if (!done)
			(void)remove_file(path);
		unfinished::drop(path);
	}
};

result<restore_summary> restore_into(chain_reader &reader, const std::string &target, bool device,
				     const restore_options &opts)
{
	auto t0 = std::chrono::steady_clock::now();
	const manifest &m = reader.top();
	auto out = sys_file::open(target, device ? open_mode::write : open_mode::create);
	if (!out)
		return out.err();
	unfinished_target cleanup(device ? "" : target);
	if (device) {
		auto size = out->size();
		if (!size)
			return size.err();
		if (*size < m.size)
			return make_error(errc::usage,
					  fmt::format("{} holds {} bytes, too few for the {} bytes "
						      "of backup {:04}",
						      target, *size, m.size, m.sequence));
	}
	auto buf = user_buffer::map(CHUNK_BYTES);
	if (!buf)
		return buf.err();

	restore_summary s;
	s.sequence = m.sequence;
	for (const manifest &b : reader.chain())
		s.chain.push_back(b.sequence);
	s.target = target;
	s.size = m.size;
	s.chunks = m.chunks();
	progress_meter meter(opts.progress, "restore", m.size);
	std::vector<unsigned char> chunk;
	uint64_t written_end = 0;
	for (uint64_t c = 0; c < m.chunks(); c++) {
		BACKUP_TRY(reader.read_checked_chunk(c, chunk));
		const extent range = m.chunk_range(c);
		meter.advance(range.length);
		if (!device && all_zero(chunk)) {
			s.chunks_sparse++;
			s.bytes_sparse += chunk.size();
			continue;
		}
		BACKUP_TRY(buf->put(0, chunk.data(), chunk.size()));
		BACKUP_TRY(out->write(*buf, 0, chunk.size(), range.start));
		s.bytes_written += chunk.size();
		written_end = range.end();
	}
	// A file that ends in zeros gets its length from its last sector (not data: counted
	// with the holes, not in bytes_written).
	if (written_end < m.size)
		BACKUP_TRY(write_bytes(*out, *buf, std::string(SECTOR_BYTES, '\0'),
				       m.size - SECTOR_BYTES));
	BACKUP_TRY(out->sync());
	BACKUP_TRY(out->close());
	cleanup.done = true;
	meter.finish();
	s.bytes_read = reader.bytes_read();
	s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
	return s;
}

} // namespace

result<restore_summary> restore_backup(const std::string &repo, const std::string &target,
				       const restore_options &opts)
{
	std::optional<repository_lock> lock;
	auto scan = open_for_reading(repo, lock);
	if (!scan)
		return scan.err();
	auto reader = open_point(repo, *scan, opts.sequence);
	if (!reader)
		return reader.err();
	auto s = restore_into(*reader, target, is_device(target), opts);
	if (!s)
		return in_context(s.err(), fmt::format("restore of backup {:04} to {} failed",
						       reader->top().sequence, target));
	return s;
}

} // namespace zep
