// Full and incremental backups of a ramdisk, restored byte for byte at every point of a chain;
// incrementals from change records store only the changed bytes, and without trusted records
// exactly the chunks whose checksums differ.
#include <xxhash.h>

#include <set>

#include <fmt/format.h>

#include "tests/agent/backup_fixture.h"

using namespace zeptest;

namespace {

std::string chunk_hex(const bytes &image, uint64_t c)
{
	uint64_t start = c * zep::CHUNK_BYTES;
	size_t n = std::min<size_t>(zep::CHUNK_BYTES, image.size() - start);
	return zep::hex64(XXH3_64bits(image.data() + start, n));
}

// The manifest's checksums are those of the image, chunk by chunk.
void expect_checksums_of(const nlohmann::json &m, const bytes &image)
{
	const auto &sums = m.at("checksums");
	ASSERT_EQ(sums.size(), (image.size() + zep::CHUNK_BYTES - 1) / zep::CHUNK_BYTES);
	for (size_t c = 0; c < sums.size(); c++)
		EXPECT_EQ(sums[c], chunk_hex(image, c)) << "chunk " << c;
}

// Without compression a repository is written as before compression existed, and reads so.
TEST_F(BackupTest, FullBackupIsASparseImageThatRestoresTheDevice)
{
	// Data in chunks 1, 5 (4 KiB of it), 10-12 and the short last chunk 64.
	scribble(1 * CHUNK, CHUNK);
	scribble(5 * CHUNK + 8192, 4096);
	scribble(10 * CHUNK, 3 * CHUNK);
	scribble(SIZE - 8192, 8192);
	const bytes image = device();

	auto s = full({.compression = {.level = 0}});
	ASSERT_TRUE(s.ok()) << s.err().message;
	EXPECT_EQ(s->sequence, 0u);
	EXPECT_EQ(s->chunks, 65u);
	EXPECT_EQ(s->chunks_stored, 6u);
	EXPECT_EQ(s->chunks_zero, 59u);
	EXPECT_EQ(s->bytes_read, SIZE);

	const std::string img = path("0000.img");
	EXPECT_EQ(std::filesystem::file_size(img), SIZE);
	EXPECT_LE(allocated(img), 7 * CHUNK) << "zero chunks are holes";
	EXPECT_EQ(host_file(img), image);

	auto m = manifest_json(0);
	EXPECT_EQ(m["version"], 1);
	EXPECT_FALSE(m.contains("compression"));
	EXPECT_EQ(m["kind"], "full");
	EXPECT_EQ(m["method"], "full");
	EXPECT_TRUE(m["parent"].is_null());
	EXPECT_EQ(m["device"], "ram0");
	EXPECT_EQ(m["size"], SIZE);
	EXPECT_EQ(m["chunk_size"], 65536);
	EXPECT_EQ(m["snapshot"]["time"], 1700000000);
	EXPECT_EQ(m["snapshot"]["get_freeze_ns"], 1500);
	EXPECT_EQ(m["snapshot"]["frozen_ns"], 42000);
	EXPECT_EQ(m["snapshot"]["session_error"], "");
	EXPECT_EQ(m["bytes_read"], SIZE);
	expect_checksums_of(m, image);
	// The map covers the image: data where it is stored, zeros over the holes.
	uint64_t at = 0;
	for (const auto &e : m["map"]) {
		std::set<std::string> keys;
		for (auto it = e.begin(); it != e.end(); ++it)
			keys.insert(it.key());
		std::set<std::string> want{"start", "length", "depth", "present", "zero", "data"};
		if (e["data"])
			want.insert("offset");
		EXPECT_EQ(keys, want) << e;
		EXPECT_EQ(e["start"], at);
		EXPECT_NE(e["zero"], e["data"]) << e;
		if (e["data"]) {
			EXPECT_EQ(e["offset"], e["start"]);
		}
		at += e["length"].get<uint64_t>();
	}
	EXPECT_EQ(at, SIZE);

	auto r = restore(0, repo_ + "/restored");
	ASSERT_TRUE(r.ok()) << r.err().message;
	EXPECT_EQ(host_file(repo_ + "/restored"), image);
	EXPECT_EQ(r->chunks_sparse, 59u);
	EXPECT_LE(allocated(repo_ + "/restored"), 7 * CHUNK);

	// Onto a device: holes are written too, over what it held.
	kern::dev_t other = kern::add_ramdisk("ram1", 0, SIZE / 512);
	bytes junk = noise(SIZE);
	ASSERT_EQ(kern::disk_poke(other, 0, junk.data(), junk.size()), 0);
	ASSERT_TRUE(restore(0, "/dev/ram1").ok());
	EXPECT_EQ(device(other), image);

	auto v = verify({.device = "/dev/ram0"});
	ASSERT_TRUE(v.ok()) << v.err().message;
	EXPECT_EQ(v->device_bytes_compared, SIZE);
}

TEST_F(BackupTest, IncrementalFromChangeRecordsStoresOnlyTheirBytes)
{
	scribble(0, 8 * CHUNK);
	const bytes before = device();
	ASSERT_TRUE(full().ok());

	scribble(100 * 512, 4096);		// chunk 0
	scribble(2 * CHUNK - 512, 1024);	// across chunks 1 and 2
	put(4 * CHUNK, bytes(8192, 0));		// zeroed: mapped, not stored
	scribble(SIZE - 512, 512);		// the last sector
	const bytes after = device();
	zep::change_set changes{{zep::sectors_extent(100, 8),
				 zep::sectors_extent(102, 2),
				 {2 * CHUNK - 512, 1024},
				 zep::sectors_extent(4 * CHUNK / 512, 16),
				 // The last sector, as a record running past the end, and a
				 // write of the next partition: both as the driver records them.
				 zep::sectors_extent(SIZE / 512 - 1, 4),
				 zep::sectors_extent(SIZE / 512, 8)},
				true};
	auto s = incremental(changes);
	ASSERT_TRUE(s.ok()) << s.err().message;
	EXPECT_EQ(s->sequence, 1u);
	EXPECT_EQ(s->method, zep::backup_method::change_records);
	EXPECT_FALSE(s->tracking_lost);
	EXPECT_EQ(s->data_bytes, 4096u + 1024 + 512);
	EXPECT_EQ(std::filesystem::file_size(path("0001.delta")), 4096u + 1024 + 512);
	EXPECT_EQ(s->bytes_read, 4 * CHUNK + 8192) << "only the touched chunks are read";

	auto m = manifest_json(1);
	EXPECT_EQ(m["kind"], "incremental");
	EXPECT_EQ(m["parent"], 0);
	EXPECT_EQ(m["method"], "change-records");
	EXPECT_EQ(m["map"], nlohmann::json::parse(R"([
{"start": 51200, "length": 4096, "depth": 0, "present": true, "zero": false, "data": true,
 "offset": 0},
{"start": 130560, "length": 1024, "depth": 0, "present": true, "zero": false, "data": true,
 "offset": 4096},
{"start": 262144, "length": 8192, "depth": 0, "present": true, "zero": true, "data": false},
{"start": 4201984, "length": 512, "depth": 0, "present": true, "zero": false, "data": true,
 "offset": 5120}
])"));
	expect_checksums_of(m, after);

	ASSERT_TRUE(restore(1, repo_ + "/at1").ok());
	EXPECT_EQ(host_file(repo_ + "/at1"), after);
	ASSERT_TRUE(restore(0, repo_ + "/at0").ok());
	EXPECT_EQ(host_file(repo_ + "/at0"), before);
}

TEST_F(BackupTest, WithoutTrustedRecordsChunksAreComparedByChecksum)
{
	scribble(0, 16 * CHUNK);
	ASSERT_TRUE(full().ok());

	scribble(3 * CHUNK + 30720, 512);
	scribble(9 * CHUNK, 100 * 512);
	put(12 * CHUNK, bytes(CHUNK, 0));
	zep::change_set incomplete{{zep::sectors_extent(9 * CHUNK / 512, 1)}, false};
	auto s = incremental(incomplete);
	ASSERT_TRUE(s.ok()) << s.err().message;
	EXPECT_EQ(s->method, zep::backup_method::checksum_compare);
	EXPECT_TRUE(s->tracking_lost);
	EXPECT_NE(s->note.find("missed writes"), std::string::npos) << s->note;
	EXPECT_NE(s->note.find("3 chunks"), std::string::npos) << s->note;
	EXPECT_EQ(s->bytes_read, SIZE);
	EXPECT_EQ(s->chunks_stored, 2u);
	EXPECT_EQ(s->chunks_zero, 1u);
	EXPECT_EQ(std::filesystem::file_size(path("0001.delta")), 2 * CHUNK);
	EXPECT_EQ(manifest_json(1)["method"], "checksum-compare");
	ASSERT_TRUE(restore(1, repo_ + "/at1").ok());
	EXPECT_EQ(host_file(repo_ + "/at1"), device());

	// No records at all: the same comparison, said so.
	scribble(SIZE - 1024, 512);
	auto none = incremental(std::nullopt);
	ASSERT_TRUE(none.ok()) << none.err().message;
	EXPECT_EQ(none->method, zep::backup_method::checksum_compare);
	EXPECT_NE(none->note.find("No change records"), std::string::npos) << none->note;
	EXPECT_EQ(none->chunks_stored, 1u);
	EXPECT_EQ(nlohmann::json(*none)["tracking_lost"], true);
}

TEST_F(BackupTest, AChainRestoresAnyPoint)
{
	scribble(0, SIZE);
	std::vector<bytes> points{device()};
	ASSERT_TRUE(full().ok());
	for (int i = 1; i <= 4; i++) {
		std::vector<zep::extent> changed;
		for (int k = 0; k < 6; k++) {
			uint64_t sector = rng_() % (SIZE / 512 - 40);
			uint64_t count = 1 + rng_() % 40;
			scribble(sector * 512, count * 512);
			changed.push_back(zep::sectors_extent(sector, count));
		}
		points.push_back(device());
		// The third one has lost its records.
		auto s = incremental(zep::change_set{changed, i != 3});
		ASSERT_TRUE(s.ok()) << s.err().message;
		EXPECT_EQ(s->parent, i - 1u);
	}
	for (unsigned seq = 0; seq < points.size(); seq++) {
		std::string out = repo_ + "/point" + std::to_string(seq);
		auto r = restore(seq, out);
		ASSERT_TRUE(r.ok()) << r.err().message;
		EXPECT_EQ(r->chain.size(), seq + 1);
		EXPECT_TRUE(host_file(out) == points[seq]) << "point " << seq;
	}
	auto v = verify({.device = "/dev/ram0"});
	ASSERT_TRUE(v.ok()) << v.err().message;
	EXPECT_EQ(v->backups, (std::vector<unsigned>{0, 1, 2, 3, 4}));
	EXPECT_EQ(v->device_sequence, 4u);
}

// Text shrinks, noise is stored raw; pieces are compressed a chunk at most at a time, so a
// delta's piece and its parent's around it make one chunk; a damaged frame is named.
TEST_F(BackupTest, CompressedBackupsRestoreAndNameADamagedPiece)
{
	bytes text;
	for (uint64_t line = 0; text.size() < 32 * CHUNK; line++) {
		std::string l = fmt::format("record {:>10} sum {:016x}\n", line,
					    line * 0x9e3779b97f4a7c15ull);
		text.insert(text.end(), l.begin(), l.end());
	}
	text.resize(32 * CHUNK);
	put(0, text);
	scribble(40 * CHUNK, 8 * CHUNK);
	const bytes before = device();
	auto s = full();
	ASSERT_TRUE(s.ok()) << s.err().message;
	EXPECT_EQ(s->compression, "zstd:3");
	EXPECT_EQ(s->image_bytes_stored, 40 * CHUNK);
	EXPECT_EQ(s->pieces_compressed, 32u) << "the text's chunks; the noise is raw";
	EXPECT_LT(s->data_bytes, 8 * CHUNK + 32 * CHUNK / 3);
	EXPECT_EQ(std::filesystem::file_size(path("0000.img")), s->data_bytes) << "packed";
	auto m = manifest_json(0);
	EXPECT_EQ(m["compression"], "zstd:3");
	EXPECT_EQ(m["version"], 2) << "a zep that reads only raw data refuses it";
	for (const auto &e : m["map"])
		if (e.contains("compression")) {
			EXPECT_LE(e["length"], CHUNK);
			EXPECT_LT(e["start"], 32 * CHUNK) << "noise is never compressed";
		}

	// Text copied into the middle of chunk 3, noise into chunk 41.
	put(3 * CHUNK + 4096, bytes(text.begin() + 9 * CHUNK, text.begin() + 9 * CHUNK + 8192));
	scribble(41 * CHUNK + 512, 1024);
	const bytes after = device();
	auto inc = incremental(zep::change_set{{{3 * CHUNK + 4096, 8192}, {41 * CHUNK + 512, 1024}},
					       true});
	ASSERT_TRUE(inc.ok()) << inc.err().message;
	EXPECT_EQ(inc->image_bytes_stored, 8192u + 1024);
	EXPECT_EQ(inc->pieces_compressed, 1u);
	EXPECT_LT(inc->data_bytes, 4096u + 1024);

	ASSERT_TRUE(restore(0, repo_ + "/at0").ok());
	EXPECT_TRUE(host_file(repo_ + "/at0") == before);
	ASSERT_TRUE(restore(1, repo_ + "/at1").ok());
	EXPECT_TRUE(host_file(repo_ + "/at1") == after);
	auto v = verify({.device = "/dev/ram0"});
	ASSERT_TRUE(v.ok()) << v.err().message;

	// The delta's frame no longer one: corrupt, naming the backup and its file.
	uint64_t frame = manifest_json(1)["map"][0]["offset"];
	flip(path("0001.delta"), frame, 0x7f);
	v = verify();
	ASSERT_FALSE(v.ok());
	EXPECT_EQ(v.err().code, zep::errc::corrupt);
	EXPECT_NE(v.err().message.find("backup 0001, chunk 3: the compressed piece of 0001.delta"),
		  std::string::npos)
		<< v.err().message;
	EXPECT_EQ(restore(1, repo_ + "/bad").err().code, zep::errc::corrupt);
	EXPECT_TRUE(restore(0, repo_ + "/at0").ok()) << "its parent is intact";
}

TEST_F(BackupTest, ProgressMovesToItsTotal)
{
	std::vector<zep::progress_event> seen;
	auto s = agent([&] {
		return zep::full_backup(
			repo_, source(),
			{.progress = [&](const zep::progress_event &e) { seen.push_back(e); }});
	});
	ASSERT_TRUE(s.ok());
	ASSERT_GE(seen.size(), 2u);
	EXPECT_LE(seen.size(), 260u);
	for (size_t i = 1; i < seen.size(); i++) {
		EXPECT_EQ(seen[i].phase, "read");
		EXPECT_GE(seen[i].done, seen[i - 1].done);
	}
	EXPECT_EQ(seen.front().done, 0u);
	EXPECT_EQ(seen.back().done, SIZE);
	EXPECT_EQ(seen.back().total, SIZE);
}

TEST_F(BackupTest, ImpossibleRequestsSayWhy)
{
	auto none = incremental(std::nullopt);
	EXPECT_EQ(none.err().code, zep::errc::not_found) << "nothing to follow yet";
	EXPECT_EQ(agent([&] { return zep::full_backup(repo_, source("/dev/nothing")); }).err().code,
		  zep::errc::not_found);
	EXPECT_EQ(agent([&] { return zep::full_backup(repo_ + "/missing", source()); }).err().code,
		  zep::errc::not_found);

	ASSERT_TRUE(full().ok());
	auto beyond = incremental(zep::change_set{{{SIZE + 512, 1024}}, true});
	EXPECT_EQ(beyond.err().code, zep::errc::usage);
	kern::add_ramdisk("ram2", 0, SIZE / 512 + 8);
	auto grown = agent(
		[&] { return zep::incremental_backup(repo_, source("/dev/ram2"), std::nullopt); });
	EXPECT_EQ(grown.err().code, zep::errc::usage) << "another size: a full backup is needed";
	EXPECT_EQ(restore(7, repo_ + "/x").err().code, zep::errc::not_found);
	EXPECT_FALSE(exists("0001.json"));
	EXPECT_FALSE(exists("0001.delta"));
}

} // namespace

// Readers run in parallel, but what they read is stored in the image's order: four readers
// make the very repository one makes, full and incremental, and it restores the device.
TEST_F(BackupTest, ManyReadersMakeTheSameRepositoryAsOne)
{
	const std::string one = repo_ + "/one", many = repo_ + "/many";
	std::filesystem::create_directories(one);
	std::filesystem::create_directories(many);
	auto backup = [&](const std::string &repo, int readers, bool inc) {
		zep::backup_options o{.readers = readers};
		auto s = agent([&] {
			return inc ? zep::incremental_backup(repo, source(), std::nullopt, o)
				   : zep::full_backup(repo, source(), o);
		});
		EXPECT_TRUE(s.ok()) << s.err().message;
		if (s) {
			EXPECT_EQ(s->readers, readers);
		}
	};
	auto same = [&](const std::string &data, unsigned seq) {
		EXPECT_EQ(host_file(one + "/" + data), host_file(many + "/" + data)) << data;
		nlohmann::json a = nlohmann::json::parse(host_file(one + "/" + zep::manifest_name(seq)));
		nlohmann::json b = nlohmann::json::parse(host_file(many + "/" + zep::manifest_name(seq)));
		for (auto *m : {&a, &b})
			// Times differ, and so the checksums of the manifests.
			for (const char *k :
			     {"started", "finished", "manifest_xxh3", "parent_manifest_xxh3"})
				m->erase(k);
		EXPECT_EQ(a, b);
	};
	// Random, compressible and zero chunks, and a short last one.
	scribble(0, 9 * CHUNK);
	put(20 * CHUNK, bytes(5 * CHUNK, 'z'));
	scribble(40 * CHUNK + 512, 3 * CHUNK);
	scribble(SIZE - 4096, 4096);
	backup(one, 1, false);
	backup(many, 4, false);
	same("0000.img", 0);

	scribble(3 * CHUNK, 4096);
	put(30 * CHUNK, bytes(2 * CHUNK, 'q'));
	const bytes image = device();
	backup(one, 1, true);
	backup(many, 4, true);
	same("0001.delta", 1);

	auto r = agent([&] { return zep::restore_backup(many, repo_ + "/out", {}); });
	ASSERT_TRUE(r.ok()) << r.err().message;
	EXPECT_EQ(host_file(repo_ + "/out"), image);
}
