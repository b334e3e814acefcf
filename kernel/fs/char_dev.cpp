// Character device majors and the machine's small /dev.
#include <map>
#include <string>

#include "kernel/fs/fs.h"
#include "kernel/fs/internal.h"
#include "kernel/locking/spinlock.h"

namespace kern {

namespace {

// As in 2.6.9: majors are 12 bits here, and a dynamic major is taken from the top of
// the classic 8-bit range down.
constexpr unsigned CHRDEV_MAJOR_LIMIT = 1u << 12;
constexpr unsigned CHRDEV_DYNAMIC_FIRST = 254;

struct char_device_struct {
	std::string name;
	const file_operations *fops;
};

struct dev_node {
	umode_t type;
	dev_t dev;
};

DEFINE_SPINLOCK(chrdevs_lock);
std::map<unsigned, char_device_struct> *chrdevs;	// under chrdevs_lock
DEFINE_SPINLOCK(dev_nodes_lock);
std::map<std::string, dev_node> *dev_nodes;		// under dev_nodes_lock

std::map<unsigned, char_device_struct> &majors()
{
	if (!chrdevs)
		chrdevs = new std::map<unsigned, char_device_struct>;
	return *chrdevs;
}

std::map<std::string, dev_node> &nodes()
{
	if (!dev_nodes)
		dev_nodes = new std::map<std::string, dev_node>;
	return *dev_nodes;
}

// "zep0" and "/dev/zep0" name the same node.
std::string node_name(const std::string &name)
{
	return name.rfind("/dev/", 0) == 0 ? name.substr(5) : name;
}

bool valid_node_name(const std::string &n)
{
	return !n.empty() && n.size() < sizeof(dentry::d_name) && n.find('/') == std::string::npos &&
	       n != "." && n != "..";
}

} // namespace

// ---------------------------------------------------------------- character majors

int register_chrdev(unsigned int major, const char *name, const file_operations *fops)
{
	if (!name || !*name || !fops || major >= CHRDEV_MAJOR_LIMIT)
		return -EINVAL;
	int ret = 0;
	spin_lock(&chrdevs_lock);
	auto &m = majors();
	if (major == 0) {
		ret = -EBUSY;
		for (unsigned i = CHRDEV_DYNAMIC_FIRST; i > 0; i--) {
			if (!m.count(i)) {
				major = i;
				ret = static_cast<int>(i);
				break;
			}
		}
	} else if (m.count(major)) {
		ret = -EBUSY;
	}
	if (ret >= 0)
		m[major] = char_device_struct{name, fops};
	spin_unlock(&chrdevs_lock);
	return ret;
}

int unregister_chrdev(unsigned int major, const char *name)
{
	int ret = -EINVAL;
	spin_lock(&chrdevs_lock);
	auto &m = majors();
	auto it = m.find(major);
	if (it != m.end() && name && it->second.name == name) {
		m.erase(it);
		ret = 0;
	}
	spin_unlock(&chrdevs_lock);
	return ret;
}

const file_operations *chrdev_get(unsigned major)
{
	const file_operations *fops = nullptr;
	spin_lock(&chrdevs_lock);
	auto &m = majors();
	auto it = m.find(major);
	if (it != m.end() && try_module_get(it->second.fops->owner))
		fops = it->second.fops;
	spin_unlock(&chrdevs_lock);
	return fops;
}

void chrdev_halt(std::vector<std::string> *problems)
{
	spin_lock(&chrdevs_lock);
	auto &m = majors();
	for (auto &[major, cd] : m)
		if (problems)
			problems->push_back("character device " + std::to_string(major) + " (" + cd.name +
					    ") still registered");
	m.clear();
	spin_unlock(&chrdevs_lock);
}

// ---------------------------------------------------------------- device nodes

int dev_node_add(const std::string &name, umode_t type, dev_t dev)
{
	std::string n = node_name(name);
	if (!valid_node_name(n) || (!S_ISCHR(type) && !S_ISBLK(type)))
		return -EINVAL;
	int ret = 0;
	spin_lock(&dev_nodes_lock);
	auto &t = nodes();
	if (t.count(n))
		ret = -EEXIST;
	else
		t[n] = dev_node{static_cast<umode_t>(type & S_IFMT), dev};
	spin_unlock(&dev_nodes_lock);
	return ret;
}

int dev_node_remove(const std::string &name)
{
	std::string n = node_name(name);
	spin_lock(&dev_nodes_lock);
	int ret = nodes().erase(n) ? 0 : -ENOENT;
	spin_unlock(&dev_nodes_lock);
	return ret;
}

bool dev_node_lookup(const std::string &name, umode_t *type, dev_t *dev)
{
	std::string n = node_name(name);
	spin_lock(&dev_nodes_lock);
	auto &t = nodes();
	auto it = t.find(n);
	bool found = it != t.end();
	if (found) {
		if (type)
			*type = it->second.type;
		if (dev)
			*dev = it->second.dev;
	}
	spin_unlock(&dev_nodes_lock);
	return found;
}

std::vector<std::string> dev_node_list()
{
	std::vector<std::string> names;
	spin_lock(&dev_nodes_lock);
	for (auto &[n, node] : nodes())
		names.push_back(n);
	spin_unlock(&dev_nodes_lock);
	return names;
}

void dev_nodes_clear()
{
	spin_lock(&dev_nodes_lock);
	nodes().clear();
	spin_unlock(&dev_nodes_lock);
}

} // namespace kern
