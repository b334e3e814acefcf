// `zep bench --json` as a program reads it: every line in the documented shape, and the
// one line that is an invariant rather than a timing — a first-written chunk is read from
// the live disk exactly once, however many sessions share the disk.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/e2e/captured.h"
#include "tools/cli.h"

TEST(ZepBench, JsonLinesHaveTheirShapeAndLiveReadsPerChunkAreOne)
{
	std::vector<std::string> args = {"zep", "bench",  "--json", "--seconds",
	                                 "0.1", "--only", "P0,P7"};
	zeptest::run_result r =
	    zeptest::captured({}, [&](zep::cli_io &io) { return zep::run_cli(args, io); });
	ASSERT_EQ(r.rc, 0) << r.out << r.err;
	nlohmann::json doc = r.doc();
	EXPECT_GT(doc["host"]["cores"].get<int>(), 0);
	const nlohmann::json &lines = doc["lines"];
	ASSERT_EQ(lines.size(), 3u) << "P0 on a file disk and a RAM disk, and P7";
	for (const nlohmann::json &l : lines) {
		for (const char *key :
		     {"id", "what", "disk", "value", "unit", "goal", "met", "detail"})
			EXPECT_TRUE(l.contains(key)) << key << " missing in " << l.dump();
		EXPECT_TRUE(l["value"].is_number()) << l.dump();
		EXPECT_TRUE(l["met"].is_boolean() == !l["goal"].get<std::string>().empty())
		    << l.dump();
	}
	const nlohmann::json &p7 = lines.back();
	ASSERT_EQ(p7["id"], "P7");
	EXPECT_EQ(p7["value"].get<double>(), 1.0) << p7.dump();
	EXPECT_EQ(p7["met"], true);
}
