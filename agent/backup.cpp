#include "agent/backup.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <span>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "agent/backup_io.h"
#include "agent/backup_reader.h"
#include "agent/backup_repo.h"
#include "agent/manifest.h"
#include "agent/source_readers.h"
#include "agent/unfinished.h"

namespace zep {

namespace {

// The source is read this much at a time by one reader; less when that leaves readers idle.
constexpr size_t BATCH_BYTES = 16 * CHUNK_BYTES;

// Whole chunks, so that each reader has about two batches of a small source.
uint64_t batch_bytes(uint64_t total, int readers)
{
	uint64_t share = total / (2 * static_cast<uint64_t>(std::max(readers, 1)));
	return std::clamp<uint64_t>(share / CHUNK_BYTES * CHUNK_BYTES, CHUNK_BYTES, BATCH_BYTES);
}

std::string utc_now()
{
	auto now = std::chrono::system_clock::now();
	auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch())
			  .count() %
		  1000;
	return fmt::format("{:%FT%T}.{:03}Z",
			   fmt::gmtime(std::chrono::system_clock::to_time_t(now)), ms);
}

double seconds_since(std::chrono::steady_clock::time_point t)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The files of a backup being made: removed again unless the backup was committed, so that a
// failed backup leaves the repository as it was; listed as unfinished meanwhile, so that a
// signal's handler removes them too.
class pending_files {
public:
	pending_files() = default;
	pending_files(const pending_files &) = delete;
	pending_files &operator=(const pending_files &) = delete;
	~pending_files()
	{
		if (committed_)
			return;
		for (const std::string &p : paths_) {
			(void)remove_file(p);
			unfinished::drop(p);
		}
	}
	void add(const std::string &path)
	{
		paths_.push_back(path);
		unfinished::add(path);
	}
	// Under unfinished::hold(), right after the rename that made the backup.
	void commit(const std::unique_lock<std::mutex> &held)
	{
		committed_ = true;
		for (const std::string &p : paths_)
			unfinished::drop(p, held);
	}

private:
	std::vector<std::string> paths_;
	bool committed_ = false;
};

// Where a backup's data goes. A raw full image keeps each range at its own offset (zero
// chunks stay holes); a delta, and any data file with compression, packs its pieces one after
// the other, each compressed when that pays. Zero ranges are only mapped.
class data_writer {
public:
	data_writer(sys_file file, bool packed, user_buffer out, const compression_setting &c)
	    : file_(std::move(file)), packed_(packed || c.on()), out_(std::move(out))
	{}

	// Stores a prepared piece, whose image bytes are `bytes`: whether any were written
	// (false for zeros).
	result<bool> store(const prepared_piece &p, std::span<const unsigned char> bytes)
	{
		map_entry e{.start = p.start, .length = p.length};
		if (p.zero) {
			e.zero = true;
			add(e);
			return false;
		}
		e.data = true;
		e.offset = packed_ ? end_ : p.start;
		if (!p.frame.empty()) {
			e.zstd = true;
			e.stored_length = p.frame.size();
			BACKUP_TRY(out_.put(0, p.frame.data(), p.frame.size()));
			compressed_++;
		} else {
			BACKUP_TRY(out_.put(0, bytes.data(), bytes.size()));
		}
		BACKUP_TRY(file_.write(out_, 0, e.stored(), e.offset));
		written_ += e.stored();
		image_bytes_ += bytes.size();
		end_ = std::max(end_, e.offset + e.stored());
		add(e);
		return true;
	}

	// A full image is as long as the device even when it ends in a hole (one zero sector
	// written gives it its length). Syncs and closes.
	result<void> finish(uint64_t image_size, user_buffer &buf)
	{
		if (!packed_ && end_ < image_size) {
			BACKUP_TRY(write_bytes(file_, buf, std::string(SECTOR_BYTES, '\0'),
					       image_size - SECTOR_BYTES));
			written_ += SECTOR_BYTES;
			end_ = image_size;
		}
		BACKUP_TRY(file_.sync());
		return file_.close();
	}

	uint64_t written() const { return written_; }
	uint64_t file_bytes() const { return end_; }
	uint64_t image_bytes() const { return image_bytes_; }	// what written_ holds of the image
	uint64_t compressed() const { return compressed_; }	// pieces
	std::vector<map_entry> take_map() { return std::move(map_); }

private:
	// Joins a range to the one before when it continues it in the image and in the file;
	// a compressed piece is a frame of its own.
	void add(const map_entry &e)
	{
		if (!map_.empty()) {
			map_entry &last = map_.back();
			if (last.end() == e.start && last.zero == e.zero && !last.zstd && !e.zstd &&
			    (!e.data || last.offset + last.length == e.offset)) {
				last.length += e.length;
				return;
			}
		}
		map_.push_back(e);
	}

	sys_file file_;
	bool packed_;
	user_buffer out_;	// a piece on its way to the file
	uint64_t end_ = 0, written_ = 0, image_bytes_ = 0, compressed_ = 0;
	std::vector<map_entry> map_;
};

// The commit of a backup whose data file is written and synced: the manifest appears whole,
// by rename (replacing one only when a prune merges), and the folder's entries are synced so
// that it stays after a crash. The manifest's text.
result<std::string> commit_manifest(const std::string &repo, const manifest &m,
				    pending_files &pending, user_buffer &buf)
{
	const std::string path = repository_file(repo, manifest_name(m.sequence));
	const std::string temp = path + ".tmp";
	pending.add(temp);
	std::string text = manifest_text(m);
	auto mf = sys_file::open(temp, open_mode::create);
	if (!mf)
		return mf.err();
	BACKUP_TRY(write_bytes(*mf, buf, text));
	BACKUP_TRY(mf->sync());
	BACKUP_TRY(mf->close());
	{
		auto held = unfinished::hold();
		BACKUP_TRY(rename_file(temp, path));
		pending.commit(held);
	}
	BACKUP_TRY(sync_folder(repo));
	return text;
}

// A new data file at path, written through a data_writer of its own.
result<std::unique_ptr<data_writer>> open_data_file(const std::string &path, bool packed,
						    const compression_setting &how)
{
	auto out = user_buffer::map(CHUNK_BYTES);
	if (!out)
		return out.err();
	auto file = sys_file::open(path, open_mode::create);
	if (!file)
		return file.err();
	return std::make_unique<data_writer>(std::move(file).value(), packed, std::move(out).value(),
					     how);
}

struct source_device {
	sys_file file;
	uint64_t size = 0;
	std::string device;
};

result<source_device> open_source(const backup_source &src)
{
	auto f = sys_file::open(src.node, open_mode::read);
	if (!f)
		return in_context(f.err(), "cannot read the source");
	auto size = f->size();
	if (!size)
		return size.err();
	if (*size == 0 || *size % SECTOR_BYTES)
		return make_error(errc::usage,
				  fmt::format("{} is {} bytes long, not a device of whole sectors",
					      src.node, *size));
	std::string device = src.device;
	if (device.empty())
		device = src.node.substr(src.node.find_last_of('/') + 1);
	return source_device{std::move(f).value(), *size, std::move(device)};
}

struct backup_plan {
	manifest m;			// all that is known before reading
	std::vector<extent> reads;	// chunk-aligned ranges of the source
	chunk_selector select;
	std::string why;	// checksum comparison: why the records are not used
};

std::string describe(const manifest &m, const backup_plan &plan, uint64_t stored, uint64_t zero)
{
	switch (m.method) {
	case backup_method::full:
		return fmt::format(
			"Full backup of {}: {} of {} chunks stored, {} all-zero chunks {}.",
			m.device, stored, m.chunks(), zero,
			m.compression.empty() ? "left as holes" : "only mapped");
	case backup_method::change_records:
		return fmt::format(
			"Incremental backup of {} from change records since backup {:04}: {} "
			"changed ranges, {} bytes stored.",
			m.device, *m.parent, m.map.size(), m.data_bytes);
	default:
		return fmt::format(
			"{}, so the whole device was read and compared chunk by chunk with "
			"backup {:04}; the {} chunks that differ were stored.",
			plan.why, *m.parent, stored + zero);
	}
}

error backup_failed(error e, const manifest &m)
{
	// A full file system: what to do right after it.
	if (e.code == errc::no_space)
		e.message = fmt::format("backup {:04} of {} not made (its files were removed and "
					"earlier backups are intact): {}: free space on it, or use a "
					"repository on another file system, and run the backup again",
					m.sequence, m.device, e.message);
	else
		e.message = fmt::format("backup {:04} of {} not made: {}; its files were removed "
					"and earlier backups are intact",
					m.sequence, m.device, e.message);
	return e;
}

// Whether the snapshot stayed valid, asked of its session: a snapshot that went bad while it
// was read holds no consistent image (and its reads may fail), whatever was read of it.
result<void> check_source(const backup_source &src, manifest &m)
{
	if (!src.session_error)
		return {};
	auto text = src.session_error();
	if (!text && text.err().code == errc::invalidated)
		return text.err();	// the source itself says why it is not consistent
	if (!text)
		return in_context(text.err(), "cannot tell whether the snapshot stayed valid");
	m.session_error = *text;
	if (m.session_error.empty())
		return {};
	return make_error(errc::invalidated,
			  fmt::format("the snapshot of {} became unusable while it was read ({}), "
				      "so its image is not consistent: take a new snapshot",
				      m.device, m.session_error));
}

// A failed read of the source: the session's reason when the snapshot went bad (the driver
// then fails its reads), else the read's own error.
error read_failed(const backup_source &src, manifest &m, error e)
{
	auto valid = check_source(src, m);
	return valid ? std::move(e) : valid.err();
}

// Reads the planned ranges, stores what the plan selects, and commits the manifest.
result<backup_summary> run_plan(const std::string &repo, const backup_source &src,
				backup_plan &plan, const backup_options &opts)
{
	auto t0 = std::chrono::steady_clock::now();
	manifest &m = plan.m;
	const std::string data_path = repository_file(repo, m.data_file);
	const std::string manifest_path = repository_file(repo, manifest_name(m.sequence));
	pending_files pending;
	pending.add(data_path);

	auto buf = user_buffer::map(CHUNK_BYTES);
	if (!buf)
		return buf.err();
	auto opened = open_data_file(data_path, m.kind == backup_kind::incremental,
				     opts.compression);
	if (!opened)
		return opened.err();
	data_writer &writer = **opened;
	if (opts.compression.on())
		m.compression = opts.compression.name();

	read_plan rp{.node = src.node,
		     .chunk_size = m.chunk_size,
		     .image_size = m.size,
		     .parent_checksums = m.checksums,
		     .select = plan.select,
		     .compression = opts.compression,
		     .readers = opts.readers};
	uint64_t total = 0, stored = 0, zero = 0;
	for (const extent &r : plan.reads)
		total += r.length;
	const uint64_t batch = batch_bytes(total, opts.readers);
	for (const extent &r : plan.reads)
		for (uint64_t at = r.start; at < r.end(); at += batch)
			rp.batches.push_back({at, std::min<uint64_t>(batch, r.end() - at)});
	progress_meter meter(opts.progress,
			     m.method == backup_method::checksum_compare ? "compare" : "read",
			     total);
	auto readers = source_readers::start(std::move(rp));
	if (!readers)
		return readers.err();
	// Stored in the order of the image, whichever reader finished first.
	for (;;) {
		auto next = readers->next();
		if (!next)
			return read_failed(src, m, next.err());
		if (!*next)
			break;
		const read_batch &batch = **next;
		m.bytes_read += batch.range.length;
		for (const chunk_result &cr : batch.chunks) {
			m.checksums[cr.index] = cr.checksum;
			bool wrote = false, held = false;
			for (const prepared_piece &piece : cr.pieces) {
				std::span<const unsigned char> bytes(
					batch.bytes.data() + (piece.start - batch.range.start),
					piece.length);
				auto w = writer.store(piece, bytes);
				if (!w)
					return w.err();
				wrote |= *w;
				held = true;
			}
			stored += wrote;
			zero += held && !wrote;
		}
		meter.advance(batch.range.length);
	}
	meter.finish();
	BACKUP_TRY(writer.finish(m.kind == backup_kind::full ? m.size : 0, *buf));

	BACKUP_TRY(check_source(src, m));

	m.map = writer.take_map();
	m.data_bytes = writer.file_bytes();
	m.bytes_written = writer.written();
	m.finished = utc_now();
	m.note = describe(m, plan, stored, zero);
	auto text = commit_manifest(repo, m, pending, *buf);
	if (!text)
		return text.err();

	backup_summary s;
	s.sequence = m.sequence;
	s.kind = m.kind;
	s.parent = m.parent;
	s.method = m.method;
	s.tracking_lost = m.method == backup_method::checksum_compare;
	s.note = m.note;
	s.device = m.device;
	s.source = src.node;
	s.size = m.size;
	s.chunks = m.chunks();
	s.chunks_stored = stored;
	s.chunks_zero = zero;
	s.data_bytes = m.bytes_written;
	s.compression = opts.compression.name();
	s.image_bytes_stored = writer.image_bytes();
	s.pieces_compressed = writer.compressed();
	s.bytes_read = m.bytes_read;
	s.readers = readers->readers();
	s.bytes_written = m.bytes_written + text->size();
	s.manifest_file = manifest_path;
	s.data_file = data_path;
	s.seconds = seconds_since(t0);
	return s;
}

// The readers open the source themselves; the caller's open of it only sized and checked it.
result<backup_summary> run_backup(const std::string &repo, const backup_source &src,
				  backup_plan plan, const backup_options &opts)
{
	auto s = run_plan(repo, src, plan, opts);
	if (!s)
		return backup_failed(s.err(), plan.m);
	return s;
}

manifest new_manifest(unsigned sequence, backup_kind kind, const backup_source &src,
		      const source_device &dev)
{
	manifest m;
	m.sequence = sequence;
	m.kind = kind;
	m.device = dev.device;
	m.size = dev.size;
	m.snapshot_time = src.snapshot_time;
	m.get_freeze_ns = src.get_freeze_ns;
	m.frozen_ns = src.frozen_ns;
	m.data_file = data_file_name(sequence, kind);
	m.source = src.identity;
	m.started = utc_now();
	m.checksums.assign(m.chunks(), 0);
	return m;
}

// The chunk-aligned ranges that cover the extents, within the image.
std::vector<extent> chunk_cover(const std::vector<extent> &extents, uint64_t size)
{
	std::vector<extent> out;
	for (const extent &e : extents) {
		uint64_t start = e.start / CHUNK_BYTES * CHUNK_BYTES;
		uint64_t end = std::min<uint64_t>(
			(e.end() + CHUNK_BYTES - 1) / CHUNK_BYTES * CHUNK_BYTES, size);
		out.push_back({start, end - start});
	}
	return merge_extents(std::move(out));
}

// The parent an incremental backup follows: the one asked for, else the newest, which must be
// complete (changes are counted from the newest snapshot).
result<manifest> find_parent(const repository_scan &scan, const std::optional<unsigned> &asked)
{
	std::optional<unsigned> seq = asked ? asked : scan.latest();
	if (!seq)
		return make_error(
			errc::not_found,
			"the repository holds no backup to follow: make a full backup first");
	if (const manifest *m = scan.find(*seq))
		return *m;
	if (const damaged_backup *d = scan.find_damaged(*seq)) {
		error e = d->problem;
		e.message += fmt::format("; no backup can follow {:04}: make a full backup", *seq);
		return e;
	}
	return make_error(errc::not_found, fmt::format("there is no backup {:04} to follow", *seq));
}

// Everything an incremental after `parent` needs, short of reading data.
result<void> check_chain(const std::string &repo, const repository_scan &scan, unsigned parent)
{
	auto chain = whole_chain(repo, scan, parent);
	if (!chain)
		return in_context(chain.err(), fmt::format("backup {:04} cannot be followed", parent));
	return {};
}

} // namespace

backup_source snapshot_source(snapshot &s, std::string device)
{
	const started_session &st = s.started();
	return {.node = s.node(),
		.device = std::move(device),
		.snapshot_time = st.time,
		.get_freeze_ns = st.freeze.get_freeze.ns(),
		.frozen_ns = st.freeze.frozen.ns(),
		.session_error = [&s] { return s.error_text(); }};
}

result<backup_summary> full_backup(const std::string &repo, const backup_source &src,
				   const backup_options &opts)
{
	std::optional<repository_lock> lock;
	auto scan = open_for_writing(repo, opts.holder, lock);
	if (!scan)
		return scan.err();
	auto dev = open_source(src);
	if (!dev)
		return dev.err();
	backup_plan plan;
	plan.m = new_manifest(scan->next_sequence, backup_kind::full, src, *dev);
	plan.m.method = backup_method::full;
	plan.reads = {{0, dev->size}};
	plan.select = [](const extent &chunk, bool) { return std::vector<extent>{chunk}; };
	return run_backup(repo, src, std::move(plan), opts);
}

result<backup_summary> incremental_backup(const std::string &repo, const backup_source &src,
					  const std::optional<change_set> &changes,
					  const backup_options &opts)
{
	std::optional<repository_lock> lock;
	auto scan = open_for_writing(repo, opts.holder, lock);
	if (!scan)
		return scan.err();
	auto parent = find_parent(*scan, opts.parent);
	if (!parent)
		return parent.err();
	BACKUP_TRY(check_chain(repo, *scan, parent->sequence));
	auto dev = open_source(src);
	if (!dev)
		return dev.err();
	if (src.identity && parent->source && !src.identity->same_as(*parent->source))
		return make_error(
			errc::usage,
			fmt::format("{} is not the source of backup {:04}, {}: give --full to start "
				    "a new chain of it here, or back it up into a repository of its "
				    "own",
				    src.identity->describe(), parent->sequence,
				    parent->source->describe()));
	if (dev->device != parent->device || dev->size != parent->size)
		return make_error(
			errc::usage,
			fmt::format(
				"{} is {} ({} bytes) but backup {:04} is of {} ({} bytes): make a "
				"full backup of it",
				src.node, dev->device, dev->size, parent->sequence, parent->device,
				parent->size));

	backup_plan plan;
	plan.m = new_manifest(scan->next_sequence, backup_kind::incremental, src, *dev);
	plan.m.parent = parent->sequence;
	plan.m.parent_checksum = parent->self_checksum;
	plan.m.checksums = parent->checksums;
	if (changes && changes->complete) {
		auto extents = device_extents(changes->extents, dev->size);
		if (!extents)
			return extents.err();
		plan.m.method = backup_method::change_records;
		plan.reads = chunk_cover(*extents, dev->size);
		plan.select = [ext = std::move(extents).value()](const extent &chunk, bool) {
			std::vector<extent> pieces;
			auto it = std::upper_bound(
				ext.begin(), ext.end(), chunk.start,
				[](uint64_t at, const extent &e) { return at < e.end(); });
			for (; it != ext.end() && it->start < chunk.end(); ++it)
				pieces.push_back(intersect(*it, chunk));
			return pieces;
		};
	} else {
		plan.m.method = backup_method::checksum_compare;
		plan.why = fmt::format("{} since backup {:04}",
				       changes ? "Change tracking missed writes"
					       : "No change records were given",
				       parent->sequence);
		plan.reads = {{0, dev->size}};
		plan.select = [](const extent &chunk, bool differs) {
			return differs ? std::vector<extent>{chunk} : std::vector<extent>{};
		};
	}
	return run_backup(repo, src, std::move(plan), opts);
}

result<uint64_t> merge_into_full(const std::string &repo, const repository_scan &scan,
				 unsigned sequence, const progress_fn &progress)
{
	auto chain = whole_chain(repo, scan, sequence);
	if (!chain)
		return chain.err();
	const manifest old = chain->back();
	if (old.kind == backup_kind::full)
		return uint64_t{0};
	manifest m = old;
	m.kind = backup_kind::full;
	m.method = backup_method::full;
	m.parent.reset();
	m.parent_checksum.reset();
	m.data_file = data_file_name(sequence, backup_kind::full);
	m.replaces.push_back(old.self_checksum);
	m.note = fmt::format("{} Merged with the {} backups it followed into a full image by zep "
			     "prune at {}.",
			     old.note, chain->size() - 1, utc_now());
	auto reader = chain_reader::open(repo, std::move(*chain));
	if (!reader)
		return reader.err();

	const std::string data_path = repository_file(repo, m.data_file);
	pending_files pending;
	pending.add(data_path);
	auto buf = user_buffer::map(CHUNK_BYTES);
	if (!buf)
		return buf.err();
	// Stored as the backup was: compressed or not, at its level.
	compression_setting how{.level = 0};
	if (!old.compression.empty()) {
		auto c = parse_compression(old.compression);
		if (!c)
			return c.err();
		how = *c;
	}
	auto opened = open_data_file(data_path, false, how);
	if (!opened)
		return opened.err();
	data_writer &writer = **opened;
	std::optional<piece_compressor> compressor;
	if (how.on())
		compressor.emplace(how.level);
	progress_meter meter(progress, "merge", m.size);
	std::vector<unsigned char> chunk;
	for (uint64_t c = 0; c < m.chunks(); c++) {
		// Checked against the backup's own checksums: a merge never hides damage.
		BACKUP_TRY(reader->read_checked_chunk(c, chunk));
		prepared_piece piece = prepare_piece(m.chunk_range(c).start, chunk,
						     compressor ? &*compressor : nullptr);
		if (auto w = writer.store(piece, chunk); !w)
			return w.err();
		meter.advance(chunk.size());
	}
	meter.finish();
	BACKUP_TRY(writer.finish(m.size, *buf));
	m.map = writer.take_map();
	m.data_bytes = writer.file_bytes();
	m.bytes_written = writer.written();
	auto text = commit_manifest(repo, m, pending, *buf);
	if (!text)
		return text.err();
	// The delta is no one's now; a crash before this leaves it to the next writer.
	BACKUP_TRY(remove_file(repository_file(repo, old.data_file)));
	return m.bytes_written + text->size();
}

} // namespace zep
