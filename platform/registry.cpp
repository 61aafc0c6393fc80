#include "platform/registry.h"

#include "platform/files.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qm::registry {
namespace {

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    const auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Values may hold any character but a line end; "\\" and "\n" are escaped so a value round-trips.
std::string escape(const std::string& v) {
    std::string out;
    for (char c : v) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::string unescape(const std::string& v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '\\' && i + 1 < v.size()) {
            const char n = v[++i];
            out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else {
            out += v[i];
        }
    }
    return out;
}

} // namespace

Store Store::load(const std::filesystem::path& file) {
    Store store;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return store;
    std::string line, key;
    bool inKey = false;
    while (std::getline(in, line)) {
        const std::string t = trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#')
            continue;
        if (t.front() == '[' && t.back() == ']') {
            key = t.substr(1, t.size() - 2);
            store.keys_[key];
            inKey = true;
            continue;
        }
        const auto eq = t.find('=');
        if (!inKey || eq == std::string::npos)
            continue; // a stray line outside any key, or without "=": ignored
        store.keys_[key][trim(t.substr(0, eq))] = unescape(trim(t.substr(eq + 1)));
    }
    return store;
}

bool Store::save(const std::filesystem::path& file) const {
    std::ostringstream out;
    for (const auto& [key, values] : keys_) {
        out << '[' << key << "]\n";
        for (const auto& [name, value] : values)
            out << name << '=' << escape(value) << '\n';
        out << '\n';
    }
    return files::writeFileAtomic(file, out.str());
}

std::string Store::get(const std::string& key, const std::string& name) const {
    const auto k = keys_.find(key);
    if (k == keys_.end())
        return {};
    const auto v = k->second.find(name);
    return v == k->second.end() ? std::string{} : v->second;
}

bool Store::has(const std::string& key, const std::string& name) const {
    const auto k = keys_.find(key);
    return k != keys_.end() && k->second.count(name) != 0;
}

void Store::set(const std::string& key, const std::string& name, const std::string& value) {
    keys_[key][name] = value;
}

void Store::eraseValue(const std::string& key, const std::string& name) {
    const auto k = keys_.find(key);
    if (k != keys_.end())
        k->second.erase(name);
}

void Store::eraseKey(const std::string& key) {
    const std::string prefix = key + "\\";
    for (auto it = keys_.begin(); it != keys_.end();) {
        if (it->first == key || it->first.rfind(prefix, 0) == 0)
            it = keys_.erase(it);
        else
            ++it;
    }
}

bool Store::hasKey(const std::string& key) const { return keys_.count(key) != 0; }

std::vector<std::filesystem::path> lookupOrder() {
    std::vector<std::filesystem::path> order;
    if (const char* env = std::getenv("QUILLMEND_REGISTRY"); env && *env)
        order.emplace_back(env);
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (xdg && *xdg)
        order.push_back(std::filesystem::path(xdg) / "quillmend" / "registry.ini");
    else if (home && *home)
        order.push_back(std::filesystem::path(home) / ".config" / "quillmend" / "registry.ini");
    order.emplace_back("/etc/quillmend/registry.ini");
    return order;
}

std::string readValue(const std::string& key, const std::string& name) {
    for (const auto& file : lookupOrder()) {
        const Store store = Store::load(file);
        if (store.has(key, name))
            return store.get(key, name);
    }
    return {};
}

namespace {
template <typename Change> bool changeFirstStore(Change change) {
    const auto order = lookupOrder();
    if (order.empty())
        return false;
    Store store = Store::load(order.front());
    change(store);
    return store.save(order.front());
}
} // namespace

bool writeValue(const std::string& key, const std::string& name, const std::string& value) {
    return changeFirstStore([&](Store& s) { s.set(key, name, value); });
}

bool deleteValue(const std::string& key, const std::string& name) {
    return changeFirstStore([&](Store& s) { s.eraseValue(key, name); });
}

bool deleteKey(const std::string& key) {
    return changeFirstStore([&](Store& s) { s.eraseKey(key); });
}

} // namespace qm::registry
