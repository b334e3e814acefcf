/*
 * cow_virt.cpp - snapshot-device requests: copies between a request and the pages of an
 * in-flight chunk, matched by position on the device.
 */
#include <cstring>

#include "backupdriver/cow.h"

namespace kern {

unsigned int bvec_to_if_bvec(struct bio_vec *bio_bvec, sector_t bio_bvec_disk_pos,
			     struct bio_vec *if_bvec, sector_t if_bvec_disk_pos, int rw)
{
	sector_t b = bio_bvec_disk_pos, f = if_bvec_disk_pos;
	u64 bio_off = b < f ? f - b : 0;
	u64 if_off = f < b ? b - f : 0;
	if (bio_off >= bio_bvec->bv_len || if_off >= if_bvec->bv_len)
		return 0;
	u64 to_copy = bio_bvec->bv_len - bio_off;
	if (if_bvec->bv_len - if_off < to_copy)
		to_copy = if_bvec->bv_len - if_off;
	char *req = static_cast<char *>(kmap_atomic(bio_bvec->bv_page, KM_USER0));
	char *chk = static_cast<char *>(kmap_atomic(if_bvec->bv_page, KM_USER1));
	char *req_bytes = req + bio_bvec->bv_offset + bio_off;
	char *chk_bytes = chk + if_bvec->bv_offset + if_off;
	if (rw == 1)
		std::memmove(chk_bytes, req_bytes, to_copy);
	else
		std::memmove(req_bytes, chk_bytes, to_copy);
	kunmap_atomic(chk, KM_USER1);
	kunmap_atomic(req, KM_USER0);
	return static_cast<unsigned int>(to_copy);
}

unsigned int bvec_to_if_chunk(cow_session *cs, if_chunk *ic, struct bio_vec *bio_bvec,
			      sector_t bio_bvec_disk_pos, int rw)
{
	unsigned int copied = 0;
	sector_t b = bio_bvec_disk_pos, bl = bio_bvec->bv_len;
	file_copy *fc;
	list_for_each_entry(fc, &ic->fc_list_head, fc_list)
	{
		if (!fc->bio)
			continue;
		sector_t f = static_cast<sector_t>(fc->disk_start);
		for (unsigned i = 0; i < fc->bio->bi_vcnt; i++) {
			struct bio_vec *v = &fc->bio->bi_io_vec[i];
			sector_t fl = v->bv_len;
			if (b == f || (b < f + fl && f < b + bl))
				copied += bvec_to_if_bvec(bio_bvec, b, v, f, rw);
			f += fl;
		}
	}
	return copied;
}

unsigned int io_on_if_chunk(cow_session *cs, if_chunk *ic, cow_chunk *cc, struct bio *bio, int rw)
{
	unsigned int copied = 0;
	sector_t pos = calc_bio_disk_pos(cs, cc, bio);
	for (unsigned i = 0; i < bio->bi_vcnt; i++) {
		struct bio_vec *v = &bio->bi_io_vec[i];
		copied += bvec_to_if_chunk(cs, ic, v, pos, rw);
		pos += v->bv_len;
	}
	return copied;
}

} // namespace kern
