#include "agent/backup_reader.h"

#include <algorithm>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace zep {

namespace {

// A process has 256 descriptors; a long chain keeps only this many data files open.
constexpr size_t MAX_OPEN_FILES = 32;

} // namespace

chain_reader::chain_reader(std::string repo, std::vector<manifest> chain, user_buffer buf)
    : repo_(std::move(repo)), chain_(std::move(chain)), buf_(std::move(buf)), files_(chain_.size())
{}

result<chain_reader> chain_reader::open(const std::string &repo, std::vector<manifest> chain)
{
	if (chain.empty() || chain.front().kind != backup_kind::full)
		return make_error(errc::usage, "a chain starts with a full backup");
	auto buf = user_buffer::map(CHUNK_BYTES);
	if (!buf)
		return buf.err();
	return chain_reader(repo, std::move(chain), std::move(buf).value());
}

result<void> chain_reader::read_stored(size_t layer, uint64_t off, size_t n, unsigned char *dst)
{
	std::optional<sys_file> &f = files_[layer];
	if (!f) {
		if (open_files_ == MAX_OPEN_FILES) {
			for (auto &other : files_)
				other.reset();
			open_files_ = 0;
		}
		auto opened = sys_file::open(repository_file(repo_, chain_[layer].data_file),
					     open_mode::read);
		if (!opened) {
			error e = opened.err();
			if (e.code == errc::not_found)
				e.code = errc::corrupt;
			return in_context(e, fmt::format("backup {:04}", chain_[layer].sequence));
		}
		f = std::move(opened).value();
		open_files_++;
	}
	BACKUP_TRY(f->read(buf_, 0, n, off, errc::corrupt));
	bytes_read_ += n;
	return buf_.get(0, dst, n);
}

result<void> chain_reader::read_compressed(size_t layer, const map_entry &e, uint64_t at,
					   size_t n, unsigned char *dst, uint64_t c)
{
	// Newer backups may leave several runs of one piece to it: it is decompressed once.
	if (piece_at_ != std::pair(layer, e.offset)) {
		piece_at_.reset();
		frame_.resize(e.stored_length);
		piece_.resize(e.length);
		BACKUP_TRY(read_stored(layer, e.offset, frame_.size(), frame_.data()));
		if (auto d = unzstd_.decompress(frame_, piece_); !d) {
			const manifest &m = chain_[layer];
			return make_error(
				errc::corrupt,
				fmt::format("backup {:04}, chunk {}: the compressed piece of {} at "
					    "byte {} (image bytes {}-{}) is damaged: {}",
					    m.sequence, c, m.data_file, e.offset, e.start,
					    e.end() - 1, d.err().message));
		}
		piece_at_ = std::pair(layer, e.offset);
	}
	std::copy_n(piece_.data() + at, n, dst);
	return {};
}

result<void> chain_reader::read_chunk(uint64_t c, std::vector<unsigned char> &out)
{
	const extent chunk = top().chunk_range(c);
	out.assign(chunk.length, 0);
	origin_.assign(chunk.length / SECTOR_BYTES, -1);
	size_t missing = origin_.size();
	auto sector = [&](uint64_t at) {
		return static_cast<size_t>((at - chunk.start) / SECTOR_BYTES);
	};

	for (size_t layer = chain_.size(); layer-- > 0 && missing;) {
		const std::vector<map_entry> &map = chain_[layer].map;
		auto it = std::upper_bound(
			map.begin(), map.end(), chunk.start,
			[](uint64_t at, const map_entry &e) { return at < e.end(); });
		for (; it != map.end() && it->start < chunk.end() && missing; ++it) {
			const extent part = intersect({it->start, it->length}, chunk);
			// Runs of sectors that no newer backup supplied.
			for (uint64_t at = part.start; at < part.end();) {
				if (origin_[sector(at)] >= 0) {
					at += SECTOR_BYTES;
					continue;
				}
				uint64_t run = at;
				for (; run < part.end() && origin_[sector(run)] < 0;
				     run += SECTOR_BYTES)
					origin_[sector(run)] = static_cast<int>(layer);
				missing -= sector(run) - sector(at);
				if (it->data && it->zstd)
					BACKUP_TRY(read_compressed(layer, *it, at - it->start,
								   run - at,
								   out.data() + (at - chunk.start),
								   c));
				else if (it->data)
					BACKUP_TRY(read_stored(layer, it->offset + (at - it->start),
							       run - at,
							       out.data() + (at - chunk.start)));
				at = run;
			}
		}
	}
	if (missing)
		return make_error(errc::corrupt,
				  fmt::format("backup {:04}: no backup of its chain holds {} "
					      "sectors of chunk {}",
					      top().sequence, missing, c));
	return {};
}

result<void> chain_reader::read_checked_chunk(uint64_t c, std::vector<unsigned char> &out)
{
	BACKUP_TRY(read_chunk(c, out));
	uint64_t sum = chunk_checksum(out);
	if (sum == top().checksums[c])
		return {};
	const extent chunk = top().chunk_range(c);
	return make_error(
		errc::corrupt,
		fmt::format(
			"backup {:04}, chunk {} (bytes {}-{}): the data from {} has checksum {} "
			"but {} says {}",
			top().sequence, c, chunk.start, chunk.end() - 1,
			fmt::join(origin_files(), " and "), hex64(sum),
			manifest_name(top().sequence), hex64(top().checksums[c])));
}

unsigned chain_reader::origin(uint64_t off) const
{
	return chain_[static_cast<size_t>(origin_[off / SECTOR_BYTES])].sequence;
}

std::vector<std::string> chain_reader::origin_files() const
{
	std::vector<std::string> names;
	for (size_t layer = chain_.size(); layer-- > 0;)
		if (std::find(origin_.begin(), origin_.end(), static_cast<int>(layer)) !=
		    origin_.end())
			names.push_back(chain_[layer].data_file);
	return names;
}

result<chain_reader> open_point(const std::string &repo, const repository_scan &scan,
				std::optional<unsigned> sequence)
{
	if (!sequence)
		sequence = scan.latest();
	if (!sequence)
		return make_error(errc::not_found,
				  fmt::format("the repository {} holds no backup", repo));
	auto chain = backup_chain(scan, *sequence);
	if (!chain)
		return chain.err();
	return chain_reader::open(repo, std::move(chain).value());
}

} // namespace zep
