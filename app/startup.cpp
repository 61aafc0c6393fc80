#include "app/startup.h"

#include "platform/registry.h"

#include <cstdlib>
#include <ostream>

namespace qm::startup {

namespace {

std::string classKey() { return std::string("CLSID\\") + kClassId; }
std::string interfaceKey() { return std::string("Interface\\") + kInterfaceId; }
std::string typeLibKey() { return std::string("TypeLib\\") + kTypeLibId; }

std::string absolutePath(const std::string& p) {
    std::error_code ec;
    const auto full = std::filesystem::absolute(p, ec);
    return ec ? p : full.string();
}

} // namespace

Options parseArguments(const std::vector<std::string>& args) {
    Options o;
    bool flagsEnded = false;
    for (const auto& a : args) {
        if (flagsEnded || a.empty() || a[0] != '-' || a == "-") {
            if (!a.empty())
                o.files.push_back(absolutePath(a));
            continue;
        }
        if (a == "--") {
            flagsEnded = true;
            continue;
        }
        const std::string name = a.substr(a.rfind('-', 1) + 1); // one or two dashes
        if (name == "register" || name == "regserver")
            o.registerOnly = true;
        else if (name == "unregister" || name == "unregserver")
            o.unregister = true;
        else if (name == "embedding")
            o.embedding = true;
        else if (name == "automation")
            o.automation = true;
        else if (name == "help" || a == "-h")
            o.help = true;
        else if (o.error.empty())
            o.error = "unknown option '" + a + "'";
    }
    return o;
}

bool writeRegistrations(const std::filesystem::path& program) {
    const std::string exe = program.string();
    bool ok = registry::writeValue(kProgId, "CLSID", kClassId);
    ok = registry::writeValue(classKey(), "ProgID", kProgId) && ok;
    ok = registry::writeValue(classKey(), "LocalServer", exe + " --automation") && ok;
    ok = registry::writeValue(interfaceKey(), "Name", "IQuillmend") && ok;
    ok = registry::writeValue(interfaceKey(), "TypeLib", kTypeLibId) && ok;
    ok = registry::writeValue(typeLibKey() + "\\1.0", "Name", "Quillmend") && ok;
    ok = registry::writeValue(typeLibKey() + "\\1.0", "Path", exe) && ok;
    return ok;
}

bool removeRegistrations() {
    bool ok = true;
    for (const auto& key : {std::string(kProgId), classKey(), interfaceKey(), typeLibKey()})
        ok = registry::deleteKey(key) && ok;
    return ok;
}

bool registrationsPresent() { return !registry::readValue(kProgId, "CLSID").empty(); }

bool displayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* v = std::getenv(name); v && *v)
            return true;
    return false;
}

std::string usageText() {
    return "Usage: quillmend [OPTION]... [FILE]...\n"
           "Salvage damaged Word documents (.doc, .docx): the files named are added to the list of Step 1.\n\n"
           "  --register     write the automation registrations into the registry store and exit\n"
           "  --unregister   remove them and exit\n"
           "  --automation, --embedding\n"
           "                 started for an automation client\n"
           "  --help         show this help and exit\n";
}

std::optional<int> beforeWindows(const Options& options, const std::filesystem::path& program, std::ostream& out,
                                 std::ostream& err) {
    if (!options.error.empty()) {
        err << "quillmend: " << options.error << "\nTry 'quillmend --help' for more information.\n";
        return 2;
    }
    if (options.help) {
        out << usageText();
        return 0;
    }
    if (options.unregister) {
        if (!removeRegistrations()) {
            err << "quillmend: cannot write the registry store " << registry::lookupOrder().front().string() << "\n";
            return 1;
        }
        return 0;
    }
    const bool registered = writeRegistrations(program);
    if (options.registerOnly) {
        if (!registered) {
            err << "quillmend: cannot write the registry store " << registry::lookupOrder().front().string() << "\n";
            return 1;
        }
        return 0;
    }
    if (!displayAvailable()) {
        err << kNoDisplay << "\n";
        return 1;
    }
    return std::nullopt;
}

} // namespace qm::startup
