// Extent merging, and manifests: their JSON read back as written, and each kind of damage
// or inconsistency refused with the file named.
#include <gtest/gtest.h>
#include <xxhash.h>

#include "agent/manifest.h"

using namespace zep;

namespace {

TEST(Extents, MergeSortsJoinsAndDropsEmptyRanges)
{
	EXPECT_EQ(merge_extents(
			  {{100, 10}, {0, 10}, {10, 5}, {50, 0}, {105, 20}, {200, 1}, {199, 1}}),
		  (std::vector<extent>{{0, 15}, {100, 25}, {199, 2}}));
	EXPECT_EQ(merge_extents({{0, 100}, {10, 10}}), (std::vector<extent>{{0, 100}}));
	EXPECT_TRUE(merge_extents({}).empty());
	EXPECT_EQ(sectors_extent(3, 2), (extent{1536, 1024}));
}

TEST(Extents, DeviceExtentsAreWholeSectorsInsideTheDevice)
{
	auto v = device_extents({{1000, 10}, {1030, 1}, {4096 - 1, 1}}, 4096);
	ASSERT_TRUE(v.ok());
	EXPECT_EQ(*v, (std::vector<extent>{{512, 1024}, {3584, 512}}));
	// The driver's records of a partition may start at the sector right after it, or
	// inside it and run on into the next one: cut at the end, not refused.
	v = device_extents({{4000, 200}, {4096, 1024}, {0, 1}}, 4096);
	ASSERT_TRUE(v.ok()) << v.err().message;
	EXPECT_EQ(*v, (std::vector<extent>{{0, 512}, {3584, 512}}));
	v = device_extents({{4096, 512}}, 4096);
	ASSERT_TRUE(v.ok());
	EXPECT_TRUE(v->empty());
	EXPECT_EQ(device_extents({{4097, 200}}, 4096).err().code, errc::usage);
	EXPECT_EQ(device_extents({{8192, 512}}, 4096).err().code, errc::usage);
	EXPECT_EQ(device_extents({{UINT64_MAX - 10, 20}}, 4096).err().code, errc::usage);
}

class ManifestTest : public ::testing::Test {
protected:
	// A consistent incremental manifest of a 3-chunk image.
	manifest m = [] {
		manifest m;
		m.sequence = 2;
		m.kind = backup_kind::incremental;
		m.parent = 1;
		m.parent_checksum = 0x42;
		m.method = backup_method::change_records;
		m.device = "sda1";
		m.size = 2 * CHUNK_BYTES + 4096;
		m.snapshot_time = 1700000000;
		m.session_error = "bad \xff byte";
		m.data_file = "0002.delta";
		m.data_bytes = 1024;
		m.map = {{.start = 512, .length = 512, .data = true, .offset = 0},
			 {.start = 1024, .length = 4096, .zero = true},
			 {.start = CHUNK_BYTES, .length = 512, .data = true, .offset = 512}};
		m.checksums = {1, 0xffffffffffffffffull, 0x0123456789abcdefull};
		return m;
	}();

	result<manifest> read_back(const std::string &text, unsigned seq = 2)
	{
		auto j = parse_manifest_json(text);
		if (!j)
			return make_error(errc::other, "unparsable");
		return manifest_from_json(*j, manifest_name(seq), seq);
	}
	// The manifest text with `from` replaced by `to` once, its own checksum made right again.
	result<manifest> edited(const std::string &from, const std::string &to)
	{
		auto j = *parse_manifest_json(manifest_text(m));
		std::string body = j.dump();
		body.replace(body.find(from), from.size(), to);
		auto k = nlohmann::ordered_json::parse(body);
		k.erase("manifest_xxh3");
		k["manifest_xxh3"] = hex64(XXH3_64bits(k.dump().data(), k.dump().size()));
		return read_back(k.dump());
	}
};

TEST_F(ManifestTest, ReadsBackWhatWasWritten)
{
	auto back = read_back(manifest_text(m));
	ASSERT_TRUE(back.ok()) << back.err().message;
	EXPECT_EQ(back->map, m.map);
	EXPECT_EQ(back->checksums, m.checksums);
	EXPECT_EQ(back->parent, 1u);
	EXPECT_EQ(back->parent_checksum, 0x42u);
	EXPECT_EQ(back->method, backup_method::change_records);
	EXPECT_EQ(back->session_error, "bad \xef\xbf\xbd byte") << "invalid UTF-8 is kept replaced";
}

TEST_F(ManifestTest, DamageAndInconsistencyAreRefused)
{
	std::string text = manifest_text(m);
	EXPECT_FALSE(parse_manifest_json(text.substr(0, text.size() / 2)))
		<< "an interrupted write";
	auto other_number = read_back(text, 3);
	EXPECT_EQ(other_number.err().code, errc::corrupt);
	EXPECT_NE(other_number.err().message.find("0003.json"), std::string::npos);

	std::string changed = text;
	changed[changed.find("0123456789abcdef") + 3] = '4';
	auto flipped = read_back(changed);
	EXPECT_EQ(flipped.err().code, errc::corrupt);
	EXPECT_NE(flipped.err().message.find("own checksum"), std::string::npos)
		<< flipped.err().message;

	// Consistent checksums but contents that cannot be.
	for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
		     {"\"offset\":512", "\"offset\":1000"}, // past the data file
		     {"\"start\":1024", "\"start\":768"}, // overlapping
		     {"\"kind\":\"incremental\"", "\"kind\":\"full\""},
		     {"\"0000000000000042\"", "null"}, // no parent manifest checksum
		     {"\"method\":\"change-records\"", "\"method\":\"guess\""},
		     {"\"0000000000000001\",", ""}, // a checksum short
		     {"\"0002.delta\"", "\"../0002.delta\""},
		     {"\"version\":1", "\"version\":2"},
		     {"\"size\":135168", "\"size\":-1"}}) {
		auto r = edited(from, to);
		EXPECT_FALSE(r.ok()) << from << " -> " << to;
		if (!r.ok()) {
			EXPECT_NE(r.err().message.find("0002.json"), std::string::npos)
				<< r.err().message;
		}
	}
	EXPECT_TRUE(edited("\"sda1\"", "\"sdb1\"").ok())
		<< "the editing itself keeps a manifest valid";
}

} // namespace
