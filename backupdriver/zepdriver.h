/*
 * zepdriver.h - the records exchanged with the zepdriver control device.
 *
 * Shared by the driver and the user-space agent: plain structs with fixed-width types, in
 * the layout of 32-bit x86 processes (int and long 32 bits, 64-bit integers aligned to 4
 * bytes, user pointers 32-bit addresses), so that the same bytes cross the boundary on
 * this 64-bit host. No kernel type may appear here.
 */
#ifndef ZEPDRIVER_H
#define ZEPDRIVER_H

#include <cstddef>
#include <cstdint>

#define ZEP_CONTROL_NAME "zepdriver"
#define ZEP_CONTROL_MAJOR 120 /* control character device */
#define ZEP_CLONE_MAJOR 121   /* snapshot block devices zep<N>, registered as "clone" */

/* Mode bits of snap_shot_request.mode */
#define ZEP_MODE_CHANGE_TRACKING 1 /* track the device's changes along with the snapshot */
#define ZEP_MODE_STARTED 2         /* set by the driver in the record of a started session */
#define USER_SPACE_FILE 4          /* the backing file is supplied by user space */

#define ZEP_VERSION_MAJOR 4
#define ZEP_VERSION_MINOR 4
#define ZEP_VERSION_MAINT 0
#define ZEP_VERSION_BUILD 18929

#pragma pack(push, 4)

/* Start, stop or address a snapshot session. */
struct snap_shot_request {
	int32_t id;
	int32_t major;
	int32_t minor;
	int32_t mode;
	int32_t active_sessions;
	char device_name[256];
	char device_path[4096];
	char backing_file[4096];
	char backing_dev[4096];
	uint32_t time;
	uint64_t bfree;
	uint32_t sec_get_freez;
	uint32_t nsec_get_freez;
	uint32_t sec_froze;
	uint32_t nsec_froze;
};

/* One session as reported by the list commands. */
struct session_list {
	int32_t id;
	uint32_t time;
	uint64_t changed_blocks;
	uint32_t block_size;
	uint32_t sec_get_freez;
	uint32_t nsec_get_freez;
	uint32_t sec_froze;
	uint32_t nsec_froze;
	int32_t mode;
	int32_t error;
};

/* Argument of the second list command. */
struct session_list_request {
	int32_t size;
	uint32_t sl; /* user address of `size` session_list records */
};

/* Argument of the three text queries. */
struct get_string {
	int32_t id;
	char string[4096];
};

/* Argument of the set-backing-file command. */
struct set_cow_file {
	int32_t id;
	int32_t fd;
	char backing_file[4096];
};

/* Argument of the become-IO-thread command. */
struct qz_thread_info {
	int32_t id;
	int32_t session_id;
	int32_t file_fd;
	int32_t buffer_size;
	uint32_t user_addr; /* user address of the staging buffer */
};

/* Result of the version command. */
struct version_info {
	uint64_t major;
	uint64_t minor;
	uint64_t maint;
	uint64_t build;
};

/* Argument of the change-record command. */
struct change_recrod_request {
	int32_t size;
	int32_t tracking;
	int32_t inqueue;
	uint32_t cru; /* user address of `size` change_record_usr records */
};

/* One changed range as delivered to user space. */
struct change_record_usr {
	uint16_t major;
	uint16_t minor;
	uint64_t start_sector;
	uint64_t num_sectors;
};

#pragma pack(pop)

/* Command numbers: ordinal, type letter '*', size field and the write direction. */
constexpr uint32_t zep_ioc(uint32_t nr, uint32_t size)
{
	return (1u << 30) | (size << 16) | (0x2Au << 8) | nr;
}

#define ZEP_IOC_START_OLD 0x71302A15u          /* retired start: refused */
#define ZEP_IOC_STOP 0x71302A16u
#define ZEP_IOC_GET_LIST 0x402C2A17u
#define ZEP_IOC_GET_DEV 0x71302A19u
#define ZEP_IOC_GET_DEV_PATH 0x50042A1Au
#define ZEP_IOC_GET_BACKING_FILE 0x50042A1Bu
#define ZEP_IOC_GET_SESSION_ERROR 0x50042A1Cu
#define ZEP_IOC_GET_CHANGED_RECORDS 0x40102A1Du
#define ZEP_IOC_UNBLOCK_CHANGE_RECORDS 0x40042A1Eu
#define ZEP_IOC_LIST_LOCKS 0x40042A1Fu
#define ZEP_IOC_GET_VERSION 0x40082A20u
#define ZEP_IOC_GET_LIST2 0x40082A21u
#define ZEP_IOC_GET_LIST_COUNT 0x40042A22u
#define ZEP_IOC_UNLOAD 0x40042A23u
#define ZEP_IOC_ERROR_CTS 0x40042A24u
#define ZEP_IOC_SET_COW_FILE 0x50082A25u
#define ZEP_IOC_START 0x71302A26u
#define ZEP_IOC_RUN_IO_THREAD 0x40142A27u
#define ZEP_IOC_THREAD_WAIT_TIMEOUT 0x71302A28u
#define ZEP_IOC_NO_THREAD_SHUTDOWN 0x71302A29u

/* The number of entries the first list command transfers. */
#define ZEP_LIST_ENTRIES 16

static_assert(sizeof(snap_shot_request) == 12592);
static_assert(sizeof(session_list) == 44);
static_assert(sizeof(session_list_request) == 8);
static_assert(sizeof(get_string) == 4100);
static_assert(sizeof(set_cow_file) == 4104);
static_assert(sizeof(qz_thread_info) == 20);
static_assert(sizeof(version_info) == 32);
static_assert(sizeof(change_recrod_request) == 16);
static_assert(sizeof(change_record_usr) == 20);

static_assert(offsetof(snap_shot_request, active_sessions) == 16);
static_assert(offsetof(snap_shot_request, device_name) == 20);
static_assert(offsetof(snap_shot_request, device_path) == 276);
static_assert(offsetof(snap_shot_request, backing_file) == 4372);
static_assert(offsetof(snap_shot_request, backing_dev) == 8468);
static_assert(offsetof(snap_shot_request, time) == 12564);
static_assert(offsetof(snap_shot_request, bfree) == 12568);
static_assert(offsetof(snap_shot_request, sec_get_freez) == 12576);
static_assert(offsetof(snap_shot_request, nsec_froze) == 12588);
static_assert(offsetof(session_list, changed_blocks) == 8);
static_assert(offsetof(session_list, block_size) == 16);
static_assert(offsetof(session_list, mode) == 36);
static_assert(offsetof(session_list, error) == 40);
static_assert(offsetof(session_list_request, sl) == 4);
static_assert(offsetof(get_string, string) == 4);
static_assert(offsetof(set_cow_file, backing_file) == 8);
static_assert(offsetof(qz_thread_info, user_addr) == 16);
static_assert(offsetof(version_info, build) == 24);
static_assert(offsetof(change_recrod_request, cru) == 12);
static_assert(offsetof(change_record_usr, start_sector) == 4);
static_assert(offsetof(change_record_usr, num_sectors) == 12);

static_assert(ZEP_IOC_START_OLD == zep_ioc(21, sizeof(snap_shot_request)));
static_assert(ZEP_IOC_STOP == zep_ioc(22, sizeof(snap_shot_request)));
static_assert(ZEP_IOC_GET_LIST == zep_ioc(23, sizeof(session_list)));
static_assert(ZEP_IOC_GET_DEV == zep_ioc(25, sizeof(snap_shot_request)));
static_assert(ZEP_IOC_GET_DEV_PATH == zep_ioc(26, sizeof(get_string)));
static_assert(ZEP_IOC_GET_BACKING_FILE == zep_ioc(27, sizeof(get_string)));
static_assert(ZEP_IOC_GET_SESSION_ERROR == zep_ioc(28, sizeof(get_string)));
static_assert(ZEP_IOC_GET_CHANGED_RECORDS == zep_ioc(29, sizeof(change_recrod_request)));
static_assert(ZEP_IOC_UNBLOCK_CHANGE_RECORDS == zep_ioc(30, 4));
static_assert(ZEP_IOC_LIST_LOCKS == zep_ioc(31, 4));
static_assert(ZEP_IOC_GET_VERSION == zep_ioc(32, 8));
static_assert(ZEP_IOC_GET_LIST2 == zep_ioc(33, sizeof(session_list_request)));
static_assert(ZEP_IOC_GET_LIST_COUNT == zep_ioc(34, 4));
static_assert(ZEP_IOC_UNLOAD == zep_ioc(35, 4));
static_assert(ZEP_IOC_ERROR_CTS == zep_ioc(36, 4));
static_assert(ZEP_IOC_SET_COW_FILE == zep_ioc(37, sizeof(set_cow_file)));
static_assert(ZEP_IOC_START == zep_ioc(38, sizeof(snap_shot_request)));
static_assert(ZEP_IOC_RUN_IO_THREAD == zep_ioc(39, sizeof(qz_thread_info)));
static_assert(ZEP_IOC_THREAD_WAIT_TIMEOUT == zep_ioc(40, sizeof(snap_shot_request)));
static_assert(ZEP_IOC_NO_THREAD_SHUTDOWN == zep_ioc(41, sizeof(snap_shot_request)));

#endif /* ZEPDRIVER_H */
