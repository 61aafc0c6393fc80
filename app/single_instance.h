// One running desktop program per user and per $QUILLMEND_INSTANCE.
//
// The first start holds a lock file and listens on a Unix socket, both in a folder only this
// user can enter ($XDG_RUNTIME_DIR, else a private folder under the temporary folder). A later
// start finds the lock taken, hands its files to the first one over the socket and ends.
// The same socket is the automation endpoint: a client that says "attach" keeps the program
// alive while its connection is open.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qm {

class SingleInstance {
public:
    // Builds the names from the environment; does not lock or listen yet.
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the lock and starts listening. False when another start holds the lock (or the
    // private folder cannot be made safely; then why() says so and isPrimary() stays false).
    bool claim();
    bool isPrimary() const { return listenFd_ >= 0; }
    // True after claim() found another start holding the lock.
    bool otherStartRunning() const { return otherRunning_; }
    const std::string& why() const { return why_; }

    // From a later start: hands absolute paths to the running one and waits (up to timeoutMs)
    // until it has taken them. False when none could be reached.
    bool sendFiles(const std::vector<std::string>& paths, int timeoutMs = 3000) const;

    // In the running start, called from its event loop: accepts what arrived without
    // blocking. Returns the files handed over since the last call, in the order sent.
    std::vector<std::string> poll();
    // Number of automation clients attached now (updated by poll()).
    int attachedClients() const { return static_cast<int>(clients_.size()); }

    const std::filesystem::path& socketPath() const { return socket_; }

    // Connects as an automation client; returns the connected descriptor (the client stays
    // attached until it closes it) or -1.
    int attach() const;

private:
    int connectSocket() const;
    std::filesystem::path folder_;
    std::filesystem::path socket_;
    std::filesystem::path lock_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    std::vector<int> clients_;
    std::string why_;
    bool otherRunning_ = false;
};

// The folder for per-user runtime files: $XDG_RUNTIME_DIR when it is set and ours, else
// <temp>/quillmend-<uid>, made 0700 and checked to be a real folder of this user (not a link).
// Empty when no safe folder exists.
std::filesystem::path privateRuntimeFolder();

} // namespace qm
