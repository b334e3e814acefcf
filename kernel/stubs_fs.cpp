// Temporary: replaced by uaccess.cpp, fs.cpp and module.cpp.
#include "kernel/fs.h"
#include "kernel/internal.h"
#include "kernel/module.h"
#include "kernel/uaccess.h"

namespace kern {
struct mm_struct {
	int dummy;
};
mm_struct *mm_alloc() { return new mm_struct{}; }
void mmput(mm_struct *mm) { delete mm; }
void exit_mm(task_struct *t)
{
	if (t->mm)
		mmput(t->mm);
	t->mm = nullptr;
}
mm_struct *copy_mm_for(task_struct *) { return mm_alloc(); }
files_struct *files_alloc()
{
	auto *f = new files_struct{};
	atomic_set(&f->count, 1);
	return f;
}
void put_files_struct(files_struct *f)
{
	if (atomic_dec_and_test(&f->count))
		delete f;
}
void exit_files(task_struct *t)
{
	if (t->files)
		put_files_struct(t->files);
	t->files = nullptr;
}
files_struct *dup_files_for(task_struct *parent, bool share)
{
	if (share && parent->files) {
		atomic_inc(&parent->files->count);
		return parent->files;
	}
	return files_alloc();
}
void fs_halt(std::vector<std::string> *) {}
void fs_boot() {}
void module_halt(std::vector<std::string> *) {}
module_registrar::module_registrar(module *) {}
int do_insmod(const std::string &) { return -ENOENT; }
int do_rmmod(const std::string &) { return -ENOENT; }
} // namespace kern
