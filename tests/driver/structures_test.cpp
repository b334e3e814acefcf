// The driver's data structures: chunk geometry and tables, the in-flight registry, the
// ordered trees, session matching and invalidation, and the hook table.
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "backupdriver/cow.h"
#include "backupdriver/mrf.h"
#include "kernel/core/faults.h"
#include "kernel/machine.h"
#include "tests/support/driver_fixture.h"

using namespace zeptest;
using namespace kern;

namespace {

class StructuresTest : public DriverTest {
protected:
	// A session record with the fields the lookups use (not registered).
	cow_session *new_session(kern::dev_t dev, int major, int first_minor, u64 start, u64 nr)
	{
		auto *cs = static_cast<cow_session *>(kzalloc(sizeof(cow_session), GFP_KERNEL));
		cs->dev = dev;
		cs->major = major;
		cs->first_minor = first_minor;
		cs->part.start_sect = start;
		cs->part.nr_sects = nr;
		cs->chunk_size = COW_CHUNK_SIZE;
		cs->chunk_mask = COW_CHUNK_SIZE - 1;
		cs->chunk_shift = 16;
		cs->sector_shift = 9;
		spin_lock_init(&cs->chunk_lock);
		spin_lock_init(&cs->if_lock);
		spin_lock_init(&cs->pos_lock);
		spin_lock_init(&cs->users_lock);
		spin_lock_init(&cs->write_list_lock);
		return cs;
	}

	void register_session(cow_session *cs)
	{
		down(&workLock);
		down(&session_list_lock);
		list_add_tail(&cs->list, &session_list_head);
		up(&session_list_lock);
		up(&workLock);
	}

	void unregister_all()
	{
		down(&workLock);
		down(&session_list_lock);
		put_all_cow_sessions();
		up(&session_list_lock);
		up(&workLock);
	}
};

} // namespace

TEST(ChunkGeometry, SectorsToChunksAndPowersOfTwo)
{
	EXPECT_EQ(get_chunk(9, 0xffff, 16, 0), 0u);
	EXPECT_EQ(get_chunk(9, 0xffff, 16, 127), 0u);
	EXPECT_EQ(get_chunk(9, 0xffff, 16, 128), 1u);
	EXPECT_EQ(get_chunk(9, 0xffff, 16, (1ull << 40) + 300), (1ull << 33) + 2);
	EXPECT_EQ(down_to_power_of_2(262144), 262144u);
	EXPECT_EQ(down_to_power_of_2(300000), 262144u);
	EXPECT_EQ(down_to_power_of_2(1), 1u);
	EXPECT_EQ(down_to_power_of_2(0), 0u);
	EXPECT_EQ(down_to_power_of_2(0xffffffffu), 0x80000000u);
}

TEST_F(StructuresTest, ChunkTablesShareBucketsAndFindTheNewestFirst)
{
	chunk_table t{};
	ASSERT_EQ(init_chunk_table(&t, COW_TABLE_BUCKETS), 0);
	EXPECT_EQ(chunk_hash(&t, 5), chunk_hash(&t, 262149));
	cow_chunk *a = alloc_cow_chunk(), *b = alloc_cow_chunk(), *c = alloc_cow_chunk();
	EXPECT_EQ(a->thread, -1);
	a->old_chunk = 5;
	b->old_chunk = 262149;
	c->old_chunk = 5;
	add_cow_chunk(&t, a);
	add_cow_chunk(&t, b);
	EXPECT_EQ(get_cow_chunk(&t, 5), a);
	EXPECT_EQ(get_cow_chunk(&t, 262149), b);
	EXPECT_EQ(get_cow_chunk(&t, 6), nullptr);
	add_cow_chunk(&t, c);
	EXPECT_EQ(get_cow_chunk(&t, 5), c);
	put_cow_chunk_table(&t);
	EXPECT_EQ(t.table, nullptr);
	EXPECT_EQ(get_cow_chunk(&t, 5), nullptr);
	put_cow_chunk_table(&t);	// a released table is ignored
}

TEST_F(StructuresTest, FailedTableAllocationLeavesItNull)
{
	chunk_table t{};
	fault_inject("vmalloc", {0, 1});
	EXPECT_EQ(init_chunk_table(&t, COW_TABLE_BUCKETS), -ENOMEM);
	EXPECT_EQ(t.table, nullptr);
	put_cow_if_table(&t);
	EXPECT_EQ(get_if_chunk(&t, 1), nullptr);
}

TEST_F(StructuresTest, ConcurrentChunkPositionsAreDistinctAndConsecutive)
{
	cow_session *cs = new_session(MKDEV(8, 0), 8, 0, 0, 1000);
	constexpr int PER = 500;
	std::vector<cow_chunk *> got[2];
	kern::pid_t pids[2];
	for (int p = 0; p < 2; p++) {
		pids[p] = spawn("pos", [&, p] {
			for (int i = 0; i < PER; i++) {
				cow_chunk *cc = alloc_cow_chunk();
				set_chunk_pos(cs, cc, static_cast<u64>(i));
				got[p].push_back(cc);
			}
			return 0;
		});
	}
	for (kern::pid_t pid : pids)
		EXPECT_EQ(waitpid(pid), 0);
	std::set<u64> seen;
	for (auto &v : got)
		for (cow_chunk *cc : v) {
			seen.insert(cc->new_chunk);
			free_cow_chunk(cc);
		}
	EXPECT_EQ(seen.size(), 2u * PER);
	EXPECT_EQ(*seen.begin(), 0u);
	EXPECT_EQ(*seen.rbegin(), 2u * PER - 1);
	EXPECT_EQ(cs->pos, 2u * PER);
	put_cow_session(cs);
}

TEST_F(StructuresTest, InFlightRegistryCountsHoldersAndKeepsAnonymousRecordsOut)
{
	cow_session *cs = new_session(MKDEV(8, 0), 8, 0, 0, 1000);
	ASSERT_EQ(init_chunk_table(&cs->if_table, 64), 0);
	EXPECT_EQ(get_and_inc_if(cs, 9), nullptr);

	if_chunk *ic = alloc_if_chunk(9);
	EXPECT_EQ(down_trylock(&ic->real_lock), 1);	// created held
	EXPECT_EQ(down_trylock(&ic->virt_lock), 1);
	EXPECT_EQ(ic->created, -1);
	add_and_inc_if(cs, ic);
	EXPECT_EQ(get_and_inc_if(cs, 9), ic);
	EXPECT_EQ(atomic_read(&ic->count), 2);
	put_and_dec_if(cs, ic);
	EXPECT_EQ(get_if_chunk(&cs->if_table, 9), ic);
	long before = mm_get_usage().kmalloc_objects;
	put_and_dec_if(cs, ic);	// the last holder unlinks and frees it
	EXPECT_EQ(get_and_inc_if(cs, 9), nullptr);
	EXPECT_EQ(mm_get_usage().kmalloc_objects, before - 1);

	cow_chunk *cc = alloc_cow_chunk();
	cc->old_chunk = 12;
	if_chunk *anon = alloc_anon_if_chunk(cc);
	EXPECT_EQ(anon->anon, 1);
	EXPECT_EQ(atomic_read(&anon->count), 1);
	EXPECT_EQ(down_trylock(&anon->real_lock), 0);	// released at creation
	up(&anon->real_lock);
	EXPECT_EQ(get_and_inc_if(cs, 12), nullptr);
	put_and_dec_if(cs, anon);	// freed without touching the table
	EXPECT_EQ(get_and_inc_if(cs, 12), nullptr);
	free_cow_chunk(cc);
	put_cow_session(cs);
}

TEST_F(StructuresTest, TreesAllowDuplicatesAndSearchWith64BitKeys)
{
	rb_root root = RB_ROOT;
	std::vector<rb_wl *> nodes;
	for (u64 n : {7ull, 3ull, 7ull, 1ull << 40, 9ull}) {
		rb_wl *wl = alloc_rb_wl();
		std::memset(static_cast<void *>(wl), 0, sizeof(*wl));
		wl->n = n;
		rb_instert_wl(&root, wl);
		nodes.push_back(wl);
	}
	rb_wl *found = rb_serach_wl(&root, 7);
	ASSERT_NE(found, nullptr);
	EXPECT_EQ(found->n, 7u);
	EXPECT_EQ(rb_serach_wl(&root, 1ull << 40), nodes[3]);
	EXPECT_EQ(rb_serach_wl(&root, 8), nullptr);
	// In order, equal keys keep their insertion order.
	std::vector<rb_wl *> order;
	for (rb_node *n = rb_first(&root); n; n = rb_next(n))
		order.push_back(rb_entry(n, rb_wl, node));
	std::vector<rb_wl *> expect = {nodes[1], nodes[0], nodes[2], nodes[4], nodes[3]};
	EXPECT_EQ(order, expect);
	for (rb_wl *wl : nodes) {
		rb_erase(&wl->node, &root);
		put_rbwl(wl);
	}

	// Page trees: keys at or above 2^32 are not found by a truncated search.
	rb_root pages = RB_ROOT;
	struct rb_cache *high = alloc_rb_cache();
	high->n = (1ull << 32) + 5;
	high->p = alloc_page(GFP_KERNEL);
	rb_insert(&pages, high);
	EXPECT_EQ(rb_search(&pages, 5), nullptr);
	EXPECT_EQ(rb_search(&pages, (1ull << 32) + 5), high->p);
	struct rb_cache *bare = alloc_rb_cache();
	bare->n = 1;
	bare->p = nullptr;
	rb_insert(&pages, bare);
	long pages_before = mm_get_usage().pages;
	rb_free_node_and_page(&pages);	// frees the one page there is
	EXPECT_EQ(mm_get_usage().pages, pages_before - 1);
	EXPECT_EQ(pages.rb_node, nullptr);
	rb_free_node_and_page(&pages);	// emptying an empty tree does nothing

	rb_root nodes_only = RB_ROOT;
	struct rb_cache *keep = alloc_rb_cache();
	keep->n = 2;
	struct page *pg = alloc_page(GFP_KERNEL);
	keep->p = pg;
	rb_insert(&nodes_only, keep);
	rb_free_node(&nodes_only);	// the page is not the tree's
	EXPECT_EQ(nodes_only.rb_node, nullptr);
	__free_page(pg);
}

TEST_F(StructuresTest, InvalidationKeepsTheFirstReasonWithinTheField)
{
	cow_session *cs = new_session(MKDEV(8, 0), 8, 0, 0, 1000);
	EXPECT_TRUE(is_valid_session(cs));
	std::string longer(300, 'R');
	invalidate_session(cs, longer.c_str());
	invalidate_session(cs, "NO COPY");
	EXPECT_TRUE(is_error(cs));
	EXPECT_FALSE(is_valid_session(cs));
	EXPECT_EQ(std::string(cs->errorMsg), std::string(255, 'R'));
	EXPECT_EQ(cs->errorMsg[255], 0);
	invalidate_session(nullptr, "ignored");

	cow_session *other = new_session(MKDEV(8, 0), 8, 0, 0, 1000);
	invalidate_session(other, "NO MRF");
	EXPECT_STREQ(other->errorMsg, "NO MRF");
	for (size_t i = 6; i < sizeof(other->errorMsg); i++)
		ASSERT_EQ(other->errorMsg[i], 0);
	put_cow_session(cs);
	put_cow_session(other);
}

TEST_F(StructuresTest, UsersCountNeverWrapsBelowZero)
{
	cow_session *cs = new_session(MKDEV(8, 0), 8, 0, 0, 1000);
	dec_users(cs);
	EXPECT_EQ(get_users(cs), 0u);
	inc_users(cs);
	inc_users(cs);
	dec_users(cs);
	EXPECT_EQ(get_users(cs), 1u);
	put_cow_session(cs);
}

TEST_F(StructuresTest, CdpProcessesAreRecognisedByTheirName)
{
	struct {
		const char *name;
		int expect;
	} cases[] = {{"cdp", 1}, {"cdpagent", 1}, {"cd", 0}, {"xcdp", 0}, {"CDP", 0}};
	for (auto &c : cases) {
		int got = -1;
		kern::pid_t pid = spawn(c.name, [&] {
			got = is_cdp_process();
			return 0;
		});
		EXPECT_EQ(waitpid(pid), 0);
		EXPECT_EQ(got, c.expect) << c.name;
	}
}

TEST_F(StructuresTest, RequestsMatchSessionsByDiskAndInclusiveRange)
{
	kern::dev_t disk = add_ramdisk("sda", 8, 4096);
	kern::dev_t p1 = add_partition(disk, 1, 63, 1000);
	kern::dev_t p2 = add_partition(disk, 2, 2000, 1000);
	block_device *whole = bdget(disk);
	ASSERT_NE(whole, nullptr);

	cow_session *s1 = new_session(p1, 8, 0, 63, 1000);
	cow_session *s2 = new_session(p2, 8, 0, 2000, 1000);
	cow_session *bad = new_session(p1, 8, 0, 63, 1000);
	cow_session *down_ = new_session(p2, 8, 0, 2000, 1000);
	invalidate_session(bad, "NO COPY");
	atomic_set(&down_->sd, 1);
	register_session(bad);
	register_session(s1);
	register_session(down_);
	register_session(s2);

	struct bio b;
	std::memset(static_cast<void *>(&b), 0, sizeof(b));
	b.bi_bdev = whole;

	b.bi_sector = 63 + 1000;	// the first sector after the partition still matches
	EXPECT_EQ(get_cow_session(&b), s1);
	b.bi_sector = 63 + 1001;
	EXPECT_EQ(get_cow_session(&b), nullptr);
	b.bi_sector = 62;
	EXPECT_EQ(get_cow_session(&b), nullptr);

	// By sector range, not by minor; the shut-down session is skipped only when
	// collecting, the invalid one always.
	b.bi_sector = 2500;
	EXPECT_EQ(get_cow_session(&b), down_);
	LIST_HEAD(nodes);
	EXPECT_EQ(get_cow_sessions(&b, &nodes), 1u);
	session_node *sn = list_entry(nodes.next, session_node, list);
	EXPECT_EQ(sn->cs, s2);
	EXPECT_EQ(get_users(s2), 1u);
	put_cow_sessions(&nodes);
	EXPECT_TRUE(list_empty(&nodes));
	EXPECT_EQ(get_users(s2), 0u);

	b.bi_sector = 100;
	cow_session *found = nullptr;
	u64 chunk = 0;
	EXPECT_EQ(get_session_and_chunk(&b, &found, &chunk), 1);
	EXPECT_EQ(found, s1);
	EXPECT_EQ(chunk, 0u);	// (100 - 63) / 128

	// A request with no disk matches nothing, with its message.
	struct bio orphan;
	std::memset(static_cast<void *>(&orphan), 0, sizeof(orphan));
	EXPECT_EQ(get_cow_sessions(&orphan, &nodes), 0u);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: NO: bio->bi_bdev"));

	EXPECT_EQ(get_cow_session_count(), 4);
	EXPECT_EQ(get_cow_session_by_id(0), bad);
	unregister_all();
	bdput(whole);
}

static int test_mrf(request_queue_t *q, struct bio *b) { return 0; }

TEST_F(StructuresTest, HookTableCountsHoldsAcrossPartitionsOfOneDisk)
{
	kern::dev_t disk = add_ramdisk("sdb", 8, 4096);
	kern::dev_t p1 = add_partition(disk, 1, 0, 1000);
	kern::dev_t p2 = add_partition(disk, 2, 1000, 1000);
	block_device *b1 = bdget(p1), *b2 = bdget(p2);
	ASSERT_NE(b1, nullptr);
	ASSERT_NE(b2, nullptr);
	request_queue_t *q = b1->bd_disk->queue;
	auto original = q->make_request_fn;

	EXPECT_EQ(get_mrf(b1->bd_contains, savedMRFS), nullptr);
	EXPECT_EQ(set_mrf(b1, test_mrf, savedMRFS), 0);
	EXPECT_EQ(q->make_request_fn, test_mrf);
	EXPECT_EQ(get_mrf(b1->bd_contains, savedMRFS), original);
	EXPECT_EQ(set_mrf(b2, test_mrf, savedMRFS), 0);
	saved_mrf *sm = savedMRFS[8][b1->bd_disk->first_minor];
	ASSERT_NE(sm, nullptr);
	EXPECT_EQ(atomic_read(&sm->count), 2);
	EXPECT_EQ(unset_mrf(b1, savedMRFS), 0);
	EXPECT_EQ(q->make_request_fn, test_mrf);	// still held by the second
	EXPECT_EQ(unset_mrf(b2, savedMRFS), 0);
	EXPECT_EQ(q->make_request_fn, original);
	EXPECT_EQ(atomic_read(&sm->count), 0);
	// Hooked again later: the restored original is saved anew.
	EXPECT_EQ(set_mrf(b2, test_mrf, savedMRFS), 0);
	EXPECT_EQ(get_mrf(b1->bd_contains, savedMRFS), original);
	EXPECT_EQ(unset_mrf(b2, savedMRFS), 0);
	EXPECT_EQ(q->make_request_fn, original);

	EXPECT_EQ(set_mrf(nullptr, test_mrf, savedMRFS), 1);
	EXPECT_EQ(set_mrf(b1, test_mrf, nullptr), 1);
	bdput(b1);
	bdput(b2);
}

TEST_F(StructuresTest, DisksOutsideTheTableAreRefused)
{
	kern::dev_t big_major = add_ramdisk("big", 300, 1024);
	block_device *b = bdget(big_major);
	ASSERT_NE(b, nullptr);
	auto original = b->bd_disk->queue->make_request_fn;
	EXPECT_EQ(set_mrf(b, test_mrf, savedMRFS), 1);
	EXPECT_EQ(b->bd_disk->queue->make_request_fn, original);
	// Without a saved function the queue keeps the one it has.
	EXPECT_EQ(unset_mrf(b, savedMRFS), 1);
	EXPECT_EQ(b->bd_disk->queue->make_request_fn, original);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: could not find orignal MRF, setting MRF to default."));
	bdput(b);

	kern::dev_t never = add_ramdisk("sdc", 8, 1024);
	block_device *n = bdget(never);
	auto own = n->bd_disk->queue->make_request_fn;
	EXPECT_EQ(unset_mrf(n, savedMRFS), 1);
	EXPECT_EQ(n->bd_disk->queue->make_request_fn, own);
	bdput(n);
}
