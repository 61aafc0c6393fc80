// One Word instance: the table of automation objects and what every call does to them.
//
// Object ids: 1 is the Application, 2 its Documents collection; every added document, its
// Content range and the Selection get ids of their own as they are first handed out. The
// Selection always acts on the active document (the most recently added one still open).
// After Quit every call fails.
//
// The in-process binding uses this class directly; the quillmend-word server answers each
// request of the pipe protocol with one invoke() of it.
#pragma once

#include "automation/word_calls.h"
#include "docserver/document.h"
#include "docserver/formats.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qm::docserver {

class WordInstance : public word::Connection {
public:
    // Reads the version it reports from $QUILLMEND_WORD_VERSION ("12.0" when unset or empty).
    WordInstance();

    // Performs one call; throws word::WordError on any failure.
    word::Value invoke(std::uint32_t object, int dispid, word::CallKind kind,
                       const std::vector<word::Value>& args) override;

    // True once Quit succeeded.
    bool hasQuit() const;

private:
    enum class ObjectKind { Application, Documents, Document, Range, Selection };
    struct Object {
        ObjectKind kind;
        std::uint32_t document = 0; // the Document object id, for Document and Range
    };
    struct DocumentState {
        Document model;
        bool open = true;
        bool saved = true; // Word's "Saved" flag: no changes since the last save
        std::optional<std::filesystem::path> savedPath;
        Format savedFormat = Format::Doc;
        std::uint32_t contentRange = 0;
    };
    using Args = std::vector<word::Value>;

    word::Value application(int dispid, word::CallKind kind, const Args& args);
    word::Value documents(int dispid, word::CallKind kind, const Args& args);
    word::Value document(std::uint32_t id, int dispid, word::CallKind kind, const Args& args);
    word::Value range(std::uint32_t documentId, int dispid, word::CallKind kind, const Args& args);
    word::Value selection(int dispid, word::CallKind kind, const Args& args);

    void saveAs(DocumentState& doc, const Args& args, std::size_t maxArgs);
    static void write(DocumentState& doc, const std::filesystem::path& file, Format format);
    DocumentState& openDocument(std::uint32_t id);
    std::uint32_t activeDocument() const; // 0 when none is open
    std::uint32_t newObject(ObjectKind kind, std::uint32_t documentId = 0);

    mutable std::mutex mutex_;
    std::string version_;
    bool quit_ = false;
    bool visible_ = false;
    std::map<std::uint32_t, Object> objects_;
    std::map<std::uint32_t, DocumentState> documents_; // by Document object id
    std::vector<std::uint32_t> addOrder_;               // open documents, oldest first
    std::uint32_t selection_ = 0;
    std::uint32_t nextId_ = 3;
};

} // namespace qm::docserver
