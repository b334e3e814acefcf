#include "agent/manifest.h"

#include <charconv>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>
#include <xxhash.h>

namespace zep {

namespace {

using ojson = nlohmann::ordered_json;

constexpr const char *FORMAT_NAME = "zep-backup";
constexpr const char *CHECKSUM_NAME = "xxh3-64";
constexpr const char *SELF_CHECKSUM_KEY = "manifest_xxh3";

// One canonical text of the JSON, for the manifest's own checksum; text that is not valid
// UTF-8 (a driver's error text may hold anything) is written replaced, and reads back so.
std::string canonical(const ojson &j)
{
	return j.dump(-1, ' ', false, ojson::error_handler_t::replace);
}

uint64_t text_checksum(const std::string &s)
{
	return XXH3_64bits(s.data(), s.size());
}

struct bad_manifest : std::runtime_error {
	using std::runtime_error::runtime_error;
};

uint64_t unsigned_field(const ojson &j, const char *key)
{
	const ojson &v = j.at(key);
	if (!v.is_number_unsigned())
		throw bad_manifest(fmt::format("\"{}\" is not a whole number", key));
	return v.get<uint64_t>();
}

bool bool_field(const ojson &j, const char *key)
{
	const ojson &v = j.at(key);
	if (!v.is_boolean())
		throw bad_manifest(fmt::format("\"{}\" is not true or false", key));
	return v.get<bool>();
}

std::string string_field(const ojson &j, const char *key)
{
	const ojson &v = j.at(key);
	if (!v.is_string())
		throw bad_manifest(fmt::format("\"{}\" is not a string", key));
	return v.get<std::string>();
}

uint64_t parse_hex64(const ojson &v)
{
	std::string s = v.is_string() ? v.get<std::string>() : std::string();
	uint64_t out = 0;
	auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out, 16);
	if (s.size() != 16 || ec != std::errc() || p != s.data() + s.size())
		throw bad_manifest(fmt::format("checksum {} is not 16 hex digits", v.dump()));
	return out;
}

// The first thing in m that cannot be, or "".
std::string check(const manifest &m, unsigned sequence)
{
	if (m.sequence != sequence)
		return fmt::format("it names sequence {}", m.sequence);
	if (m.chunk_size != CHUNK_BYTES)
		return fmt::format("chunk size {} is not {}", m.chunk_size, CHUNK_BYTES);
	if (m.size == 0 || m.size % SECTOR_BYTES)
		return fmt::format("image size {} is not a positive number of sectors", m.size);
	bool full = m.kind == backup_kind::full;
	if (m.kind == backup_kind::invalid || m.method == backup_method::invalid)
		return "unknown kind or method";
	if (full != (m.method == backup_method::full) || full == m.parent.has_value() ||
	    m.parent.has_value() != m.parent_checksum.has_value())
		return "kind, method and parent do not agree";
	if (m.parent && *m.parent >= m.sequence)
		return fmt::format("parent {} is not an earlier backup", *m.parent);
	if (m.data_file != data_file_name(m.sequence, m.kind))
		return fmt::format("data file \"{}\" is not {}", m.data_file,
				   data_file_name(m.sequence, m.kind));
	if (!m.compression.empty() && !m.compression.starts_with("zstd"))
		return fmt::format("unknown compression \"{}\"", m.compression);
	if (m.compression.empty() != (m.version == RAW_MANIFEST_VERSION))
		return fmt::format("format version {} and compression \"{}\" do not agree",
				   m.version, m.compression);
	if (m.checksums.size() != m.chunks())
		return fmt::format("{} checksums for {} chunks", m.checksums.size(), m.chunks());
	uint64_t at = 0;
	for (const map_entry &e : m.map) {
		std::string where = fmt::format("map entry at byte {}", e.start);
		if (e.length == 0 || e.start % SECTOR_BYTES || e.length % SECTOR_BYTES ||
		    e.start < at || e.length > m.size || e.start > m.size - e.length)
			return where +
			       " is empty, unaligned, overlaps another or lies past the end";
		if (full && e.start != at)
			return where + " leaves a gap in the full image";
		if (e.depth != 0 || !e.present || e.zero == e.data)
			return where + " is neither stored data nor zeros of this backup";
		if (e.zstd && (!e.data || m.compression.empty() || e.stored_length == 0 ||
			       e.stored_length > e.length || e.length > m.chunk_size))
			return where + " is compressed where no compressed piece can be";
		if (e.data && (e.offset > m.data_bytes || e.stored() > m.data_bytes - e.offset))
			return where + " points past the end of the data file";
		if (e.data && full && m.compression.empty() && e.offset != e.start)
			return where + " is not at its own offset of the image";
		at = e.end();
	}
	if (full && at != m.size)
		return "the map does not cover the whole image";
	return "";
}

} // namespace

void to_json(ojson &j, const map_entry &e)
{
	j = ojson{{"start", e.start},     {"length", e.length}, {"depth", e.depth},
		  {"present", e.present}, {"zero", e.zero},     {"data", e.data}};
	if (e.data)
		j["offset"] = e.offset;
	if (e.zstd) {
		j["compression"] = "zstd";
		j["stored_length"] = e.stored_length;
	}
}

void from_json(const ojson &j, map_entry &e)
{
	e.start = unsigned_field(j, "start");
	e.length = unsigned_field(j, "length");
	e.depth = static_cast<int>(unsigned_field(j, "depth"));
	e.present = bool_field(j, "present");
	e.zero = bool_field(j, "zero");
	e.data = bool_field(j, "data");
	e.offset = e.data ? unsigned_field(j, "offset") : 0;
	// Raw entries name no compression: so they were written before it existed.
	if (j.contains("compression")) {
		if (string_field(j, "compression") != "zstd")
			throw bad_manifest(fmt::format("unknown compression {}", j["compression"].dump()));
		e.zstd = true;
		e.stored_length = unsigned_field(j, "stored_length");
	}
}

std::string source_identity::describe() const
{
	std::string part = partition_start ? fmt::format(" partition {}:{}", *partition_start,
							  partition_sectors.value_or(0))
					   : "";
	return fmt::format("{}{} ({})", path, part, name);
}

void to_json(ojson &j, const source_identity &s)
{
	j = ojson{{"kind", s.kind}, {"path", s.path}, {"size", s.size}, {"partition", nullptr},
		  {"name", s.name}};
	if (s.partition_start)
		j["partition"] = {{"start", *s.partition_start},
				  {"sectors", s.partition_sectors.value_or(0)}};
}

namespace {

source_identity source_from_json(const ojson &j)
{
	source_identity s;
	s.kind = string_field(j, "kind");
	s.path = string_field(j, "path");
	s.size = unsigned_field(j, "size");
	s.name = string_field(j, "name");
	if (const ojson &p = j.at("partition"); !p.is_null()) {
		s.partition_start = unsigned_field(p, "start");
		s.partition_sectors = unsigned_field(p, "sectors");
	}
	return s;
}

} // namespace

extent manifest::chunk_range(uint64_t c) const
{
	uint64_t start = c * chunk_size;
	return {start, std::min<uint64_t>(chunk_size, size - start)};
}

std::string manifest_name(unsigned sequence)
{
	return fmt::format("{:04}.json", sequence);
}

std::string data_file_name(unsigned sequence, backup_kind kind)
{
	return fmt::format("{:04}.{}", sequence, kind == backup_kind::full ? "img" : "delta");
}

std::string kind_name(backup_kind k)
{
	return ojson(k).get<std::string>();
}
std::string method_name(backup_method m)
{
	return ojson(m).get<std::string>();
}

uint64_t chunk_checksum(std::span<const unsigned char> bytes)
{
	return XXH3_64bits(bytes.data(), bytes.size());
}

bool all_zero(std::span<const unsigned char> b)
{
	// The first byte is zero and each byte equals the next.
	return b.empty() || (b[0] == 0 && std::memcmp(b.data(), b.data() + 1, b.size() - 1) == 0);
}

std::string hex64(uint64_t v)
{
	return fmt::format("{:016x}", v);
}

std::string manifest_text(const manifest &m)
{
	ojson checksums = ojson::array();
	for (uint64_t c : m.checksums)
		checksums.push_back(hex64(c));
	ojson j = {
		{"format", FORMAT_NAME},
		{"version", m.compression.empty() ? RAW_MANIFEST_VERSION : MANIFEST_VERSION},
		{"sequence", m.sequence},
		{"kind", m.kind},
		{"parent", m.parent ? ojson(*m.parent) : ojson(nullptr)},
		{"parent_manifest_xxh3",
		 m.parent_checksum ? ojson(hex64(*m.parent_checksum)) : ojson(nullptr)},
		{"method", m.method},
		{"device", m.device},
		{"size", m.size},
		{"chunk_size", m.chunk_size},
		{"snapshot",
		 {{"time", m.snapshot_time},
		  {"get_freeze_ns", m.get_freeze_ns},
		  {"frozen_ns", m.frozen_ns},
		  {"session_error", m.session_error}}},
		{"data_file", m.data_file},
		{"data_bytes", m.data_bytes},
		{"bytes_read", m.bytes_read},
		{"bytes_written", m.bytes_written},
		{"started", m.started},
		{"finished", m.finished},
		{"note", m.note},
	};
	// Written only when known, so that manifests without them read as before.
	if (m.source)
		j["source"] = *m.source;
	if (!m.replaces.empty()) {
		ojson r = ojson::array();
		for (uint64_t c : m.replaces)
			r.push_back(hex64(c));
		j["replaces_manifest_xxh3"] = std::move(r);
	}
	ojson rest = {
		{"map", m.map},
		{"checksum_algorithm", CHECKSUM_NAME},
		{"checksums", std::move(checksums)},
	};
	j.update(rest);
	if (!m.compression.empty())
		j["compression"] = m.compression;
	j[SELF_CHECKSUM_KEY] = hex64(text_checksum(canonical(j)));
	return j.dump(1, '\t', false, ojson::error_handler_t::replace) + "\n";
}

std::optional<ojson> parse_manifest_json(std::string_view text)
{
	ojson j = ojson::parse(text, nullptr, false);
	if (j.is_discarded())
		return std::nullopt;
	return j;
}

result<manifest> manifest_from_json(const ojson &j, const std::string &name, unsigned sequence)
{
	auto damaged = [&](const std::string &what) {
		return make_error(errc::corrupt,
				  fmt::format("manifest {} is damaged: {}", name, what));
	};
	manifest m;
	try {
		if (!j.is_object())
			return damaged("it is not a JSON object");
		ojson body = j;
		uint64_t stated = parse_hex64(body.at(SELF_CHECKSUM_KEY));
		body.erase(SELF_CHECKSUM_KEY);
		if (text_checksum(canonical(body)) != stated)
			return damaged("its contents do not match its own checksum");
		m.self_checksum = stated;
		if (string_field(j, "format") != FORMAT_NAME)
			return damaged("it is not a zep backup manifest");
		m.version = static_cast<int>(unsigned_field(j, "version"));
		if (m.version < RAW_MANIFEST_VERSION || m.version > MANIFEST_VERSION)
			return make_error(
				errc::usage,
				fmt::format(
					"manifest {} has format version {}; this zep reads "
					"versions {} to {}",
					name, m.version, RAW_MANIFEST_VERSION, MANIFEST_VERSION));
		m.sequence = static_cast<unsigned>(unsigned_field(j, "sequence"));
		m.kind = j.at("kind").get<backup_kind>();
		if (!j.at("parent").is_null())
			m.parent = static_cast<unsigned>(unsigned_field(j, "parent"));
		if (!j.at("parent_manifest_xxh3").is_null())
			m.parent_checksum = parse_hex64(j.at("parent_manifest_xxh3"));
		m.method = j.at("method").get<backup_method>();
		m.device = string_field(j, "device");
		m.size = unsigned_field(j, "size");
		m.chunk_size = static_cast<uint32_t>(unsigned_field(j, "chunk_size"));
		const ojson &snap = j.at("snapshot");
		m.snapshot_time = snap.at("time").get<int64_t>();
		m.get_freeze_ns = unsigned_field(snap, "get_freeze_ns");
		m.frozen_ns = unsigned_field(snap, "frozen_ns");
		m.session_error = string_field(snap, "session_error");
		m.data_file = string_field(j, "data_file");
		m.data_bytes = unsigned_field(j, "data_bytes");
		if (j.contains("compression"))
			m.compression = string_field(j, "compression");
		m.bytes_read = unsigned_field(j, "bytes_read");
		m.bytes_written = unsigned_field(j, "bytes_written");
		m.started = string_field(j, "started");
		m.finished = string_field(j, "finished");
		m.note = string_field(j, "note");
		if (j.contains("source"))
			m.source = source_from_json(j.at("source"));
		if (j.contains("replaces_manifest_xxh3"))
			for (const ojson &c : j.at("replaces_manifest_xxh3"))
				m.replaces.push_back(parse_hex64(c));
		m.map = j.at("map").get<std::vector<map_entry>>();
		if (string_field(j, "checksum_algorithm") != CHECKSUM_NAME)
			return damaged("unknown checksum algorithm");
		for (const ojson &c : j.at("checksums"))
			m.checksums.push_back(parse_hex64(c));
	} catch (const std::exception &e) {
		return damaged(e.what());
	}
	if (std::string problem = check(m, sequence); !problem.empty())
		return damaged(problem);
	return m;
}

} // namespace zep
