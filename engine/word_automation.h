// The Word automation interface: the only way the engine reaches a document server.
//
// Calls are late-bound like automation calls: every operation is an invoke of a fixed
// dispatch id on an object, with arguments that are omitted, small numbers (VT_I2-like),
// flags, text or object references. A failed call raises WordError; a call on an empty
// handle does nothing (and a getter on it returns an empty handle or an empty string).
// The out-of-process binding sends Range inserts in batches: a failed insert is raised by the
// next call that is not an insert, by Range::Flush, or once the batch is full; the inserts
// after it are dropped.
//
// Every call, and every start of a new Word instance, first passes the pause and stop gate of
// this thread's current work (platform/work_control.h): while the work is paused nothing
// reaches a server, and once it is stopped they raise StopRequested instead, so an engine that
// goes on with its next method after the user stopped ends at once. Without current work
// there is no gate.
//
// Two bindings serve the interface (see word_binding.h): in-process, for tests, and
// out-of-process, one quillmend-word process per Word instance, which the program uses.
#pragma once

#include "automation/word_calls.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qm::word {

// Makes the connection of a new Word instance; throws WordError when no server can be started.
using ConnectionFactory = std::function<std::shared_ptr<Connection>()>;
// Sets the factory Application::create() uses (process-wide). The default is the
// out-of-process binding.
void setConnectionFactory(ConnectionFactory factory);
ConnectionFactory connectionFactory();

// Base of the handles: a connection and an object id; empty when either is missing.
class Object {
public:
    Object() = default;
    Object(std::shared_ptr<Connection> connection, std::uint32_t id) : connection_(std::move(connection)), id_(id) {}
    bool empty() const { return !connection_ || id_ == 0; }
    explicit operator bool() const { return !empty(); }
    void release() { connection_.reset(), id_ = 0; }

protected:
    Value call(int dispid, CallKind kind, const std::vector<Value>& args = {}) const;
    template <typename Handle> Handle getObject(int dispid) const;
    std::shared_ptr<Connection> connection_;
    std::uint32_t id_ = 0;
};

class Range : public Object {
public:
    using Object::Object;
    void InsertAfter(const std::string& text);
    void InsertParagraphAfter();
    // Not an automation call: makes sure every insert so far has been performed, raising the
    // failure of one held back in a batch. Called before the state of a salvage depends on them.
    void Flush();
};

class Selection : public Object {
public:
    using Object::Object;
    void InsertFile(const std::string& fileName); // the four optional arguments omitted
};

class Document : public Object {
public:
    using Object::Object;
    Range Content();
    // The 11-argument form (dispid 102) or the 16-argument form (dispid 376), by args.size().
    void SaveAs(const std::vector<Value>& args);
    void Save();
    void Saved(bool value);
    void Close(); // three omitted arguments
};

class Documents : public Object {
public:
    using Object::Object;
    Document Add(); // four omitted arguments
};

class Application : public Object {
public:
    using Object::Object;
    // Starts a new Word instance through the connection factory; throws WordError.
    static Application create();
    void Visible(bool value);
    std::string Version();
    ::qm::word::Documents Documents();
    ::qm::word::Selection Selection();
    void Quit(); // three zeros
};

// SaveAs argument lists of the profiles the engine uses. Each returns the 11-argument form
// when version is "9.0", else the 16-argument form.
// Full web: FileFormat 8 or 9, LockComments 0, AddToRecentFiles 1, ReadOnlyRecommended 0,
// EmbedTrueTypeFonts 0, SaveNativePictureFormat 0, AllowSubstitutions 1 (16-argument form only).
std::vector<Value> fullWebProfile(const std::string& version, const std::string& fileName, std::int16_t format);
// Plain web: FileFormat 8 or 9, AddToRecentFiles 1 when asked, everything else omitted.
std::vector<Value> plainWebProfile(const std::string& version, const std::string& fileName, std::int16_t format,
                                   bool addToRecentFiles = false);
// Document: FileName only (Word's default format, chosen by the server from the extension).
std::vector<Value> documentProfile(const std::string& version, const std::string& fileName);

// The web format of a version: 8 (HTML page, ".html") for "9.0", else 9 (web archive, ".mht").
std::int16_t webFormatFor(const std::string& version);
std::string webExtensionFor(const std::string& version);

} // namespace qm::word
