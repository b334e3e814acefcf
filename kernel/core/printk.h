// printk into a ring of lines (dmesg), each with its level and sequence number.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#include "kernel/lib/types.h"

namespace kern {

#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"

constexpr int DEFAULT_MESSAGE_LOGLEVEL = 4;
constexpr size_t LOG_LINES = 8192;	// lines kept

struct log_line {
	u64 seq;
	int level;
	std::string text;	// without the level prefix and the newline
};

int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int vprintk(const char *fmt, va_list args);

// Lines "<level>text", oldest first.
std::vector<std::string> dmesg();
std::vector<log_line> dmesg_lines();
u64 printk_seq();	// sequence number the next line will get
void dmesg_clear();
// Waits (real time, up to timeout_ms) for a line containing `needle` with seq >= from_seq.
bool printk_wait_for(const std::string &needle, unsigned timeout_ms, u64 from_seq = 0);
// Mirror lines to the host's standard error as they are printed.
void printk_set_mirror(bool on);

int sprintf(char *buf, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int snprintf(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int vsnprintf(char *buf, size_t size, const char *fmt, va_list args);

} // namespace kern
