#include "agent/backup_verify.h"

#include <algorithm>
#include <chrono>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "agent/backup_io.h"
#include "agent/backup_reader.h"
#include "agent/backup_repo.h"

namespace zep {

namespace {

// The data file holds exactly what the manifest says it does.
result<void> check_data_file(const std::string &repo, const manifest &m)
{
	auto f = sys_file::open(repository_file(repo, m.data_file), open_mode::read);
	if (!f) {
		error e = f.err();
		if (e.code == errc::not_found)
			e.code = errc::corrupt;
		return in_context(e, fmt::format("backup {:04}", m.sequence));
	}
	auto size = f->size();
	if (!size)
		return size.err();
	if (*size != m.data_bytes)
		return make_error(errc::corrupt,
				  fmt::format("backup {:04}: {} holds {} bytes but {} says {}",
					      m.sequence, m.data_file, *size,
					      manifest_name(m.sequence), m.data_bytes));
	return {};
}

// Which chunks an incremental backup holds any part of.
std::vector<bool> chunks_held(const manifest &m)
{
	std::vector<bool> held(m.chunks());
	for (const map_entry &e : m.map)
		for (uint64_t c = e.start / m.chunk_size; c * m.chunk_size < e.end(); c++)
			held[c] = true;
	return held;
}

// Verifies the point `m` given that its parent, if any, was verified before: the chunks
// it holds are rebuilt and checked; the others are the parent's, so their checksums must
// be the parent's.
result<void> verify_point(const std::string &repo, const repository_scan &scan, const manifest &m,
			  verify_summary &s, progress_meter &meter)
{
	BACKUP_TRY(check_data_file(repo, m));
	auto chain = backup_chain(scan, m.sequence);
	if (!chain)
		return chain.err();
	auto reader = chain_reader::open(repo, std::move(chain).value());
	if (!reader)
		return reader.err();
	const manifest *parent = m.parent ? scan.find(*m.parent) : nullptr;
	std::vector<bool> held = parent ? chunks_held(m) : std::vector<bool>(m.chunks(), true);
	std::vector<unsigned char> data;
	for (uint64_t c = 0; c < m.chunks(); c++) {
		if (held[c])
			BACKUP_TRY(reader->read_checked_chunk(c, data));
		else if (m.checksums[c] != parent->checksums[c])
			return make_error(
				errc::corrupt,
				fmt::format(
					"backup {:04}, chunk {}: {} gives checksum {} for a chunk "
					"it does not store, but its parent's {} says {}",
					m.sequence, c, manifest_name(m.sequence),
					hex64(m.checksums[c]), manifest_name(parent->sequence),
					hex64(parent->checksums[c])));
		s.chunks_checked++;
		meter.advance(m.chunk_range(c).length);
	}
	s.bytes_read += reader->bytes_read();
	s.backups.push_back(m.sequence);
	return {};
}

result<void> compare_device(const std::string &repo, const repository_scan &scan,
			    const verify_options &opts, verify_summary &s)
{
	auto reader = open_point(repo, scan, opts.sequence);
	if (!reader)
		return reader.err();
	const manifest &m = reader->top();
	auto dev = sys_file::open(opts.device, open_mode::read);
	if (!dev)
		return dev.err();
	auto size = dev->size();
	if (!size)
		return size.err();
	if (*size != m.size)
		return make_error(errc::corrupt,
				  fmt::format("{} is {} bytes long but backup {:04} is {} bytes",
					      opts.device, *size, m.sequence, m.size));
	auto buf = user_buffer::map(CHUNK_BYTES);
	if (!buf)
		return buf.err();
	progress_meter meter(opts.progress, "compare-device", m.size);
	std::vector<unsigned char> image, live(CHUNK_BYTES);
	for (uint64_t c = 0; c < m.chunks(); c++) {
		const extent range = m.chunk_range(c);
		BACKUP_TRY(reader->read_chunk(c, image));
		BACKUP_TRY(dev->read(*buf, 0, range.length, range.start));
		BACKUP_TRY(buf->get(0, live.data(), range.length));
		auto diff = std::mismatch(image.begin(), image.end(), live.begin());
		if (diff.first != image.end()) {
			uint64_t at = static_cast<uint64_t>(diff.first - image.begin());
			return make_error(
				errc::corrupt,
				fmt::format("byte {} of {} is {:#04x} but {:#04x} in backup {:04} "
					    "(held by backup {:04})",
					    range.start + at, opts.device, *diff.second,
					    *diff.first, m.sequence, reader->origin(at)));
		}
		s.device_bytes_compared += range.length;
		meter.advance(range.length);
	}
	meter.finish();
	s.device = opts.device;
	s.device_sequence = m.sequence;
	s.bytes_read += reader->bytes_read();
	return {};
}

} // namespace

result<verify_summary> verify_backups(const std::string &repo, const verify_options &opts)
{
	auto t0 = std::chrono::steady_clock::now();
	std::optional<repository_lock> lock;
	auto scan = open_for_reading(repo, lock);
	if (!scan)
		return scan.err();
	std::vector<manifest> scope;
	if (opts.sequence) {
		auto chain = backup_chain(*scan, *opts.sequence);
		if (!chain)
			return chain.err();
		scope = std::move(chain).value();
	} else {
		if (!scan->damaged.empty())
			return scan->damaged.front().problem;
		scope = scan->backups;
	}
	if (scope.empty())
		return make_error(
			errc::not_found,
			fmt::format("the repository {} holds no backup{}", repo,
				    scan->leftovers.empty()
					    ? ""
					    : fmt::format(", only files interrupted runs left ({}), which "
							  "the next backup removes",
							  fmt::join(scan->leftovers, ", "))));

	verify_summary s;
	s.incomplete = scan->incomplete;
	s.leftovers = scan->leftovers;
	uint64_t total = 0;
	for (const manifest &m : scope)
		total += m.size;
	progress_meter meter(opts.progress, "verify", total);
	for (const manifest &m : scope)
		BACKUP_TRY(verify_point(repo, *scan, m, s, meter));
	meter.finish();
	if (!opts.device.empty())
		BACKUP_TRY(compare_device(repo, *scan, opts, s));
	s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
	return s;
}

} // namespace zep
