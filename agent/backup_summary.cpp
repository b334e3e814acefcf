#include "agent/backup_summary.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace zep {

namespace {

template <typename J> J optional_number(const std::optional<unsigned> &v)
{
	return v ? J(*v) : J(nullptr);
}

std::string sequences(const std::vector<unsigned> &v)
{
	return fmt::format("{:04}", fmt::join(v, ", "));
}

} // namespace

template <typename J> void to_json(J &j, const backup_summary &s)
{
	j = J{{"sequence", s.sequence},
	      {"kind", kind_name(s.kind)},
	      {"parent", optional_number<J>(s.parent)},
	      {"method", method_name(s.method)},
	      {"tracking_lost", s.tracking_lost},
	      {"note", s.note},
	      {"device", s.device},
	      {"source", s.source},
	      {"size", s.size},
	      {"chunks", s.chunks},
	      {"chunks_stored", s.chunks_stored},
	      {"chunks_zero", s.chunks_zero},
	      {"data_bytes", s.data_bytes},
	      {"compression", s.compression},
	      {"image_bytes_stored", s.image_bytes_stored},
	      {"pieces_compressed", s.pieces_compressed},
	      {"bytes_read", s.bytes_read},
	      {"readers", s.readers},
	      {"bytes_written", s.bytes_written},
	      {"manifest_file", s.manifest_file},
	      {"data_file", s.data_file},
	      {"seconds", s.seconds}};
}

template <typename J> void to_json(J &j, const restore_summary &s)
{
	j = J{{"sequence", s.sequence},     {"chain", s.chain},
	      {"target", s.target},         {"size", s.size},
	      {"chunks", s.chunks},         {"chunks_sparse", s.chunks_sparse},
	      {"bytes_sparse", s.bytes_sparse},
	      {"bytes_read", s.bytes_read}, {"bytes_written", s.bytes_written},
	      {"seconds", s.seconds}};
}

template <typename J> void to_json(J &j, const verify_summary &s)
{
	j = J{{"backups", s.backups},
	      {"incomplete", s.incomplete},
	      {"leftovers", s.leftovers},
	      {"chunks_checked", s.chunks_checked},
	      {"bytes_read", s.bytes_read},
	      {"device", s.device},
	      {"device_sequence", optional_number<J>(s.device_sequence)},
	      {"device_bytes_compared", s.device_bytes_compared},
	      {"seconds", s.seconds}};
}

template void to_json(nlohmann::json &, const backup_summary &);
template void to_json(nlohmann::ordered_json &, const backup_summary &);
template void to_json(nlohmann::json &, const restore_summary &);
template void to_json(nlohmann::ordered_json &, const restore_summary &);
template void to_json(nlohmann::json &, const verify_summary &);
template void to_json(nlohmann::ordered_json &, const verify_summary &);

std::string to_text(const backup_summary &s)
{
	// A full backup has one method; an incremental says which of its two it took.
	std::string how = s.parent ? fmt::format(" after {:04}, by {}", *s.parent,
						 method_name(s.method))
				   : "";
	return fmt::format(
		"backup {:04}: {}{} of {} ({} bytes)\n"
		"{} of {} chunks stored, {} as zeros; {} bytes read by {} readers, {} written in {:.2f} s\n"
		"{} bytes of data stored in {} ({}, {} pieces compressed{})\n{}\n",
		s.sequence, kind_name(s.kind), how, s.device, s.size,
		s.chunks_stored, s.chunks, s.chunks_zero, s.bytes_read, s.readers, s.bytes_written, s.seconds,
		s.image_bytes_stored, s.data_bytes, s.compression, s.pieces_compressed,
		s.image_bytes_stored ? fmt::format(", {:.0f}% of the data",
						   100.0 * static_cast<double>(s.data_bytes) /
							   static_cast<double>(s.image_bytes_stored))
				     : "",
		s.note);
}

std::string to_text(const restore_summary &s)
{
	return fmt::format(
		"restored backup {:04} (from {}) to {}: {} bytes in {} chunks, {} bytes written "
		"and {} left as holes ({} chunks of zeros); {} bytes read from the repository "
		"in {:.2f} s\n",
		s.sequence, sequences(s.chain), s.target, s.size, s.chunks, s.bytes_written,
		s.bytes_sparse, s.chunks_sparse, s.bytes_read, s.seconds);
}

std::string to_text(const verify_summary &s)
{
	std::string text =
		fmt::format("verified backups {}: {} chunk checksums hold, {} bytes read in "
			    "{:.2f} s\n",
			    sequences(s.backups), s.chunks_checked, s.bytes_read, s.seconds);
	if (!s.leftovers.empty())
		text += fmt::format("left by interrupted runs, never used, removed by the next "
				    "backup: {}\n",
				    fmt::join(s.leftovers, ", "));
	if (s.device_sequence)
		text += fmt::format("{} equals backup {:04}: {} bytes compared\n", s.device,
				    *s.device_sequence, s.device_bytes_compared);
	return text;
}

} // namespace zep
