// The repository's crash harness. Each writer (a full backup, an incremental, a prune) is
// stopped dead at its k-th create, write, fsync, rename or unlink in the repository (every
// later one fails too, as nothing runs after a crash), and, apart, failed there alone with
// ENOSPC, for every k. After each: the repository verifies with at most leftovers, every
// backup made before restores byte for byte (a prune's victims may be gone, its kept ones
// not), and the next backup succeeds and clears the leftovers.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>

#include <fmt/format.h>

#include "agent/backup_prune.h"
#include "kernel/core/faults.h"
#include "tests/agent/backup_fixture.h"

namespace {

namespace fs = std::filesystem;
using zeptest::bytes;

struct scenario {
	const char *name;
	int backups_before;	// made first, the device changed after each
	bool prune;		// the writer: prune to the newest two, else one more backup
};

void PrintTo(const scenario &s, std::ostream *os)
{
	*os << s.name;
}

class RepositoryCrash : public zeptest::BackupTest, public ::testing::WithParamInterface<scenario> {
protected:
	void make_backup()
	{
		auto s = images_.empty() ? full() : incremental(std::nullopt);
		ASSERT_TRUE(s.ok()) << s.err().message;
		images_[s->sequence] = device();
		scribble(images_.size() * 5 * CHUNK + 4096, 3 * CHUNK);
	}
	bool run_writer()
	{
		if (GetParam().prune)
			return agent([&] { return zep::prune_backups(repo_, 2, "test"); }).ok();
		return (images_.empty() ? full() : incremental(std::nullopt)).ok();
	}
	void reset_repository()
	{
		fs::remove_all(repo_);
		fs::copy(base_, repo_);
	}
	// What must hold after the writer died or failed at point k.
	void check(const std::string &what)
	{
		SCOPED_TRACE(what);
		auto v = verify();
		if (images_.empty())	// nothing to verify, only leftovers to name
			ASSERT_TRUE(v.ok() || v.err().code == zep::errc::not_found) << v.err().message;
		else
			ASSERT_TRUE(v.ok()) << v.err().message;
		size_t present = 0;
		for (const auto &[seq, image] : images_) {
			if (!exists(zep::manifest_name(seq)))
				continue;
			present++;
			const std::string out = repo_ + ".out";
			auto r = restore(seq, out);
			ASSERT_TRUE(r.ok()) << "backup " << seq << ": " << r.err().message;
			EXPECT_TRUE(host_file(out) == image) << "backup " << seq << " restores other bytes";
			fs::remove(out);
		}
		EXPECT_GE(present, GetParam().prune ? 2u : images_.size());
		auto next = images_.empty() ? full() : incremental(std::nullopt);
		ASSERT_TRUE(next.ok()) << next.err().message;
		auto after = verify();
		ASSERT_TRUE(after.ok()) << after.err().message;
		EXPECT_TRUE(after->leftovers.empty());
	}

	std::map<unsigned, bytes> images_;
	std::string base_;
};

TEST_P(RepositoryCrash, EveryPointLeavesWholeBackupsAndLeftoversOnly)
{
	scribble(0, 8 * CHUNK);
	for (int i = 0; i < GetParam().backups_before; i++)
		ASSERT_NO_FATAL_FAILURE(make_backup());
	base_ = repo_ + ".base";
	fs::remove_all(base_);
	fs::copy(repo_, base_);
	auto cleanup = std::unique_ptr<void, std::function<void(void *)>>(
		this, [&](void *) { fs::remove_all(base_); });

	kern::fault_sweep_arm({.within = repo_ + "/"});
	ASSERT_TRUE(run_writer());
	long points = kern::fault_sweep_disarm().reached;
	ASSERT_GT(points, 3);
	std::printf("%s: %ld points of the repository, each crashed at and failed with ENOSPC\n",
		    GetParam().name, points);

	for (long k = 0; k < points; k++) {
		for (bool crash : {true, false}) {
			reset_repository();
			kern::fault_sweep_arm({.fail_at = k,
					       .and_after = crash,
					       .within = repo_ + "/",
					       .error = crash ? -EIO : -ENOSPC});
			bool ok = run_writer();
			auto seen = kern::fault_sweep_disarm();
			ASSERT_NO_FATAL_FAILURE(check(fmt::format("{} at point {} ({}){}",
								  crash ? "crash" : "ENOSPC", k,
								  seen.first_failed,
								  ok ? ", reported success" : "")));
		}
	}
}

INSTANTIATE_TEST_SUITE_P(Writers, RepositoryCrash,
			 ::testing::Values(scenario{"full", 0, false},
					   scenario{"incremental", 2, false},
					   scenario{"prune", 3, true}),
			 [](const auto &info) { return std::string(info.param.name); });

} // namespace
