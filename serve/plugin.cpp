// The nbdkit plugin of `zep serve`: it holds the machine (serve/server.h) and exports its
// devices by name. nbdkit speaks NBD; each of its threads enters the server's process on
// its first request, so a request reaches the block layer in the thread that received it.
// Parameters: image=PATH (once per disk, in order), rundir=DIR, freezehook=CMD, verbose=1,
// insecure=1 (TCP clients without TLS).
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>
#include <memory>
#include <string>

#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "serve/control_socket.h"
#include "serve/server.h"

#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

namespace {

using zep::server;

zep::serve_config config;
std::unique_ptr<server> srv;
std::unique_ptr<zep::control_socket> control;
bool insecure = false;

// Each thread's buffer in the server's address space: requests are copied through it.
constexpr size_t IO_BUFFER = 1 << 20;

struct handle {
	std::string name;
	int fd = -1;
	uint64_t size = 0;
	bool writable = false;
};

int zep_config(const char *key, const char *value)
{
	std::string k = key;
	if (k == "image")
		config.images.emplace_back(value);
	else if (k == "rundir")
		config.run_dir = value;
	else if (k == "freezehook")
		config.freeze_hook = value;
	else if (k == "verbose")
		config.verbose = std::strcmp(value, "0") != 0;
	else if (k == "insecure")
		insecure = std::strcmp(value, "0") != 0;
	else {
		nbdkit_error("unknown parameter %s: image=PATH, rundir=DIR, freezehook=CMD, verbose=1, "
			     "insecure=1", key);
		return -1;
	}
	return 0;
}

int zep_config_complete()
{
	if (config.images.empty() || config.run_dir.empty()) {
		nbdkit_error("give at least one image=PATH and rundir=DIR");
		return -1;
	}
	return 0;
}

// The machine boots after nbdkit has forked: threads do not survive a fork.
int zep_after_fork()
{
	srv = std::make_unique<server>(config);
	if (auto r = srv->start(); !r) {
		nbdkit_error("%s", r.err().message.c_str());
		return -1;
	}
	auto c = zep::control_socket::listen(
	    config.run_dir + "/zep.sock", [](const nlohmann::json &req) { return srv->handle(req); },
	    [] { srv->enter("cdpserve"); },
	    [] {
		    if (srv->quitting())
			    nbdkit_shutdown();
	    });
	if (!c) {
		nbdkit_error("%s", c.err().message.c_str());
		return -1;
	}
	control = std::move(*c);
	return 0;
}

// The control socket goes last: `zep quit` waits for it, so it sees the halt done.
void zep_cleanup()
{
	if (control)
		control->stop_serving();
	std::vector<std::string> left;
	if (srv)
		left = srv->stop();
	srv.reset();
	control.reset();
	::unlink((config.run_dir + "/nbd.sock").c_str());	// nbdkit leaves it
	for (const std::string &p : left)
		std::fprintf(stderr, "zep serve: left over at the halt: %s\n", p.c_str());
	if (!left.empty()) {
		// A fault of zep: the server's exit code says so (nbdkit's would be 0).
		std::fflush(stderr);
		std::_Exit(5);
	}
}

// nbdkit's TLS setting is one for all its sockets, so it only offers TLS (--tls=on) and
// the plugin requires it of TCP clients; the unix socket is guarded by the run folder's
// mode. A connection whose peer cannot be told is taken for a TCP one.
bool plain_tcp_refused(bool is_tls)
{
	if (insecure || is_tls)
		return false;
	sockaddr_storage peer{};
	socklen_t len = sizeof(peer);
	if (nbdkit_peer_name(reinterpret_cast<sockaddr *>(&peer), &len) == 0 &&
	    peer.ss_family == AF_UNIX)
		return false;
	nbdkit_error("refused a TCP client without TLS: connect with TLS (nbds://USER@HOST:PORT/"
		     "EXPORT?tls-psk-file=FILE), or run the server with --insecure");
	nbdkit_set_error(EACCES);
	return true;
}

int zep_list_exports(int readonly, int is_tls, nbdkit_exports *exports)
{
	if (plain_tcp_refused(is_tls))
		return -1;
	if (!srv)
		return 0;
	for (const zep::export_info &e : srv->exports())
		if (nbdkit_add_export(exports, e.name.c_str(),
				      e.snapshot ? "snapshot" : "live device") < 0)
			return -1;
	return 0;
}

const char *zep_default_export(int readonly, int is_tls) { return "vda"; }

void *zep_open(int readonly)
{
	if (plain_tcp_refused(nbdkit_is_tls() == 1))
		return nullptr;
	auto h = std::make_unique<handle>();
	h->name = nbdkit_export_name();
	if (h->name.empty())
		h->name = "vda";
	zep::export_info info;
	auto fd = srv->open_export(h->name, !readonly, &info);
	if (!fd && !readonly && fd.err().code == zep::errc::refused)
		fd = srv->open_export(h->name, false, &info);	// served read-only
	if (!fd) {
		nbdkit_error("%s", fd.err().message.c_str());
		nbdkit_set_error(fd.err().code == zep::errc::not_found ? ENOENT : EIO);
		return nullptr;
	}
	h->fd = *fd;
	h->size = info.size;
	h->writable = info.writable && !readonly;
	return h.release();
}

void zep_close(void *p)
{
	auto *h = static_cast<handle *>(p);
	srv->close_export(h->name, h->fd);
	delete h;
	// The connection's thread ends after this: its task goes now, while the machine runs.
	srv->leave();
}

int64_t zep_get_size(void *p) { return static_cast<int64_t>(static_cast<handle *>(p)->size); }
int zep_can_write(void *p) { return static_cast<handle *>(p)->writable; }
int zep_can_flush(void *) { return 1; }
int zep_can_fua(void *) { return NBDKIT_FUA_EMULATE; }
int zep_can_multi_conn(void *) { return 1; }	// a flush reaches the image file for all

int zep_block_size(void *, uint32_t *minimum, uint32_t *preferred, uint32_t *maximum)
{
	*minimum = 512;	// device files do direct IO in sectors
	*preferred = 4096;
	*maximum = 0xffffffff;
	return 0;
}

// This thread's buffer, mapped once in the server's address space.
unsigned long io_buffer()
{
	thread_local unsigned long addr = 0;
	if (!addr) {
		srv->enter("nbdkit");
		long a = kern::sys_mmap(IO_BUFFER);
		if (a > 0)
			addr = static_cast<unsigned long>(a);
	}
	return addr;
}

int transfer(handle *h, char *buf, uint32_t count, uint64_t offset, bool write)
{
	if ((count | offset) % 512) {
		nbdkit_error("%s: requests must be whole 512-byte sectors", h->name.c_str());
		nbdkit_set_error(EINVAL);
		return -1;
	}
	unsigned long ubuf = io_buffer();
	if (!ubuf) {
		nbdkit_error("no memory for the request's buffer");
		nbdkit_set_error(ENOMEM);
		return -1;
	}
	while (count) {
		size_t n = count < IO_BUFFER ? count : IO_BUFFER;
		if (write && kern::user_write(ubuf, buf, n)) {
			nbdkit_set_error(EFAULT);
			return -1;
		}
		ssize_t done = write ? kern::sys_pwrite64(static_cast<unsigned>(h->fd), ubuf, n,
							  static_cast<kern::loff_t>(offset))
				     : kern::sys_pread64(static_cast<unsigned>(h->fd), ubuf, n,
							 static_cast<kern::loff_t>(offset));
		if (done != static_cast<ssize_t>(n)) {
			nbdkit_error("%s: %s of %zu bytes at %llu failed (%zd)", h->name.c_str(),
				     write ? "write" : "read", n, static_cast<unsigned long long>(offset),
				     done);
			nbdkit_set_error(done < 0 ? static_cast<int>(-done) : EIO);
			return -1;
		}
		if (!write && kern::user_read(ubuf, buf, n)) {
			nbdkit_set_error(EFAULT);
			return -1;
		}
		buf += n;
		offset += n;
		count -= static_cast<uint32_t>(n);
	}
	return 0;
}

int zep_pread(void *p, void *buf, uint32_t count, uint64_t offset, uint32_t flags)
{
	return transfer(static_cast<handle *>(p), static_cast<char *>(buf), count, offset, false);
}

int zep_pwrite(void *p, const void *buf, uint32_t count, uint64_t offset, uint32_t flags)
{
	return transfer(static_cast<handle *>(p), const_cast<char *>(static_cast<const char *>(buf)),
			count, offset, true);
}

int zep_flush(void *p, uint32_t flags)
{
	auto *h = static_cast<handle *>(p);
	srv->enter("nbdkit");
	int rc = kern::sys_fsync(static_cast<unsigned>(h->fd));
	if (rc) {
		nbdkit_error("%s: flush failed (%d)", h->name.c_str(), rc);
		nbdkit_set_error(-rc);
		return -1;
	}
	return 0;
}

nbdkit_plugin make_plugin()
{
	nbdkit_plugin p{};
	p.name = "zep";
	p.version = "1";
	p.longname = "zep: live block devices and their snapshots";
	p.config = zep_config;
	p.config_complete = zep_config_complete;
	p.config_help = "image=PATH (each disk, in order) rundir=DIR [freezehook=CMD] [verbose=1] "
			"[insecure=1]";
	p.after_fork = zep_after_fork;
	p.cleanup = zep_cleanup;
	p.list_exports = zep_list_exports;
	p.default_export = zep_default_export;
	p.open = zep_open;
	p.close = zep_close;
	p.get_size = zep_get_size;
	p.can_write = zep_can_write;
	p.can_flush = zep_can_flush;
	p.can_fua = zep_can_fua;
	p.can_multi_conn = zep_can_multi_conn;
	p.block_size = zep_block_size;
	p.pread = zep_pread;
	p.pwrite = zep_pwrite;
	p.flush = zep_flush;
	return p;
}

nbdkit_plugin zep_plugin = make_plugin();

} // namespace

NBDKIT_REGISTER_PLUGIN(zep_plugin)
