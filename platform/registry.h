// The registry store: an INI-style text file of keys ("[TYDOC]") and string values ("FilePath=...").
//
// Files are consulted in this order: $QUILLMEND_REGISTRY, then
// ${XDG_CONFIG_HOME:-$HOME/.config}/quillmend/registry.ini, then /etc/quillmend/registry.ini.
// A value is read from the first file that holds it; a missing file or value reads as empty.
// Writes and deletions go to the first file of the list (the per-user file unless
// $QUILLMEND_REGISTRY names another).
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace qm::registry {

// One parsed store file: key -> (value name -> value). Names compare case-sensitively.
class Store {
public:
    using Values = std::map<std::string, std::string>;

    static Store load(const std::filesystem::path& file); // missing or unreadable file: empty store
    bool save(const std::filesystem::path& file) const;   // atomic replace; false on failure

    std::string get(const std::string& key, const std::string& name) const;
    bool has(const std::string& key, const std::string& name) const;
    void set(const std::string& key, const std::string& name, const std::string& value);
    void eraseValue(const std::string& key, const std::string& name);
    void eraseKey(const std::string& key); // the key and every key below it ("A\B" is below "A")
    bool hasKey(const std::string& key) const;

private:
    std::map<std::string, Values> keys_;
};

// The store files in lookup order (only those whose location could be determined).
std::vector<std::filesystem::path> lookupOrder();

// Reads a value through the lookup order; empty when no file holds it.
std::string readValue(const std::string& key, const std::string& name);
// Writes a value into the first store of the lookup order (creating folders as needed).
bool writeValue(const std::string& key, const std::string& name, const std::string& value);
bool deleteValue(const std::string& key, const std::string& name);
bool deleteKey(const std::string& key);

} // namespace qm::registry
