// Start-up of the desktop program up to its first window: the command line, the automation
// registrations in the registry store, and whether a display is there to open a window on.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace qm::startup {

inline constexpr const char* kProgId = "Quillmend.Application";
inline constexpr const char* kClassId = "{278DE34A-6A1A-4619-BA77-6A1AF4278207}";
inline constexpr const char* kInterfaceId = "{730617F8-FAAC-43A4-A983-239790D741FD}";
inline constexpr const char* kTypeLibId = "{EAC33077-750E-40F6-92BC-A0F182ED8BD6}";
// The one line printed when no window can be opened.
inline constexpr const char* kNoDisplay =
    "quillmend: cannot open a window: no display (DISPLAY and WAYLAND_DISPLAY are unset); "
    "for batch work use quillmend-cli";
inline constexpr const char* kToolkitFailed = "quillmend: cannot open a window: the display could not be opened";

struct Options {
    bool embedding = false;  // started for an automation client
    bool automation = false; // the same, by its other name
    bool registerOnly = false;
    bool unregister = false;
    bool help = false;
    std::vector<std::string> files; // absolute paths of the documents named, in order
    std::string error;               // a usage error; empty when the line was understood
};

// Flags begin with "-" or "--" (register, unregister, embedding, automation, help; "--"
// ends them). Everything else names a document; a leading "/" is a path, not a flag.
Options parseArguments(const std::vector<std::string>& args);

// The registrations of the automation object: ProgID, class, interface and type library
// keys, with the program to start for a client. Written to the first registry store.
bool writeRegistrations(const std::filesystem::path& program);
bool removeRegistrations();
bool registrationsPresent();

// True when a window system is named in the environment.
bool displayAvailable();

// The start-up steps before any window: usage errors and help, unregister, registration
// (every start, as the automation server always has), register-only, the display check.
// Returns the exit status when the program ends here; nothing when windows may open.
std::optional<int> beforeWindows(const Options& options, const std::filesystem::path& program,
                                 std::ostream& out, std::ostream& err);

std::string usageText();

} // namespace qm::startup
