#include "docserver/word_instance.h"

#include <cstdlib>
#include <system_error>

namespace qm::docserver {
namespace {

using word::CallKind;
using word::Value;
using word::WordError;
namespace dispid = word::dispid;

constexpr std::uint32_t kDocumentsId = 2;

const char* kindName(CallKind kind) {
    switch (kind) {
    case CallKind::Get: return "get";
    case CallKind::Put: return "put";
    case CallKind::Method: return "method";
    }
    return "?";
}

[[noreturn]] void unknownMember(const char* object, int id, CallKind kind) {
    throw WordError(std::string(object) + ": no member with dispatch id " + std::to_string(id) + " (" +
                    kindName(kind) + ")");
}

void arity(const std::vector<Value>& args, size_t min, size_t max, const std::string& op) {
    if (args.size() < min || args.size() > max) {
        const std::string expected =
            min == max ? std::to_string(min) : std::to_string(min) + " to " + std::to_string(max);
        throw WordError(op + ": expected " + expected + " arguments, got " + std::to_string(args.size()));
    }
}

const std::string& textArg(const std::vector<Value>& args, size_t i, const std::string& op) {
    const auto* s = std::get_if<std::string>(&args[i]);
    if (!s)
        throw WordError(op + ": argument " + std::to_string(i + 1) + " must be text");
    return *s;
}

// Flags arrive as booleans; small numbers are accepted too, as automation coerces them.
bool flagArg(const std::vector<Value>& args, size_t i, const std::string& op) {
    if (const auto* b = std::get_if<bool>(&args[i]))
        return *b;
    if (const auto* n = std::get_if<std::int16_t>(&args[i]))
        return *n != 0;
    throw WordError(op + ": argument " + std::to_string(i + 1) + " must be a flag");
}

bool omitted(const Value& v) { return std::holds_alternative<word::Omitted>(v); }

// Word's numeric save formats that have a writer here.
std::optional<Format> formatFromNumber(std::int16_t n) {
    switch (n) {
    case 0: return Format::Doc;   // document
    case 2: return Format::Txt;   // text
    case 6: return Format::Rtf;   // RTF
    case 7: return Format::Txt;   // Unicode text
    case 8: return Format::Html;  // HTML page
    case 9: return Format::Mht;   // web archive
    case 10: return Format::Html; // filtered HTML
    case 12: return Format::Docx; // OOXML document
    case 16: return Format::Docx; // the default format of later versions
    default: return std::nullopt;
    }
}

// Error messages go back over the pipe as one line.
std::string oneLine(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\r')
            c = ' ';
    return s;
}

} // namespace

WordInstance::WordInstance() {
    const char* v = std::getenv("QUILLMEND_WORD_VERSION");
    version_ = v && *v ? v : "12.0";
    objects_[word::kApplicationId] = {ObjectKind::Application};
    objects_[kDocumentsId] = {ObjectKind::Documents};
}

bool WordInstance::hasQuit() const {
    std::lock_guard lock(mutex_);
    return quit_;
}

Value WordInstance::invoke(std::uint32_t object, int id, CallKind kind, const std::vector<Value>& args) {
    std::lock_guard lock(mutex_);
    if (quit_)
        throw WordError("Word has quit");
    const auto it = objects_.find(object);
    if (it == objects_.end())
        throw WordError("no object with id " + std::to_string(object));
    const Object obj = it->second;
    try {
        switch (obj.kind) {
        case ObjectKind::Application: return application(id, kind, args);
        case ObjectKind::Documents: return documents(id, kind, args);
        case ObjectKind::Document: return document(object, id, kind, args);
        case ObjectKind::Range: return range(obj.document, id, kind, args);
        case ObjectKind::Selection: return selection(id, kind, args);
        }
    } catch (const WordError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw WordError("out of memory");
    } catch (const std::exception& e) {
        // Reader, writer and file-system failures all reach the caller as a failed call.
        throw WordError(oneLine(e.what()));
    }
    throw WordError("no object with id " + std::to_string(object));
}

std::uint32_t WordInstance::newObject(ObjectKind kind, std::uint32_t documentId) {
    const std::uint32_t id = nextId_++;
    objects_[id] = {kind, documentId};
    return id;
}

std::uint32_t WordInstance::activeDocument() const { return addOrder_.empty() ? 0 : addOrder_.back(); }

WordInstance::DocumentState& WordInstance::openDocument(std::uint32_t id) {
    auto& doc = documents_.at(id);
    if (!doc.open)
        throw WordError("the document has been closed");
    return doc;
}

Value WordInstance::application(int id, CallKind kind, const Args& args) {
    if (id == dispid::Visible && kind == CallKind::Put) {
        arity(args, 1, 1, "Application.Visible");
        visible_ = flagArg(args, 0, "Application.Visible");
        return word::Omitted{};
    }
    if (id == dispid::Version && kind == CallKind::Get) {
        arity(args, 0, 0, "Application.Version");
        return version_;
    }
    if (id == dispid::Documents && kind == CallKind::Get) {
        arity(args, 0, 0, "Application.Documents");
        return word::ObjectRef{kDocumentsId};
    }
    if (id == dispid::Selection && kind == CallKind::Get) {
        arity(args, 0, 0, "Application.Selection");
        if (activeDocument() == 0)
            throw WordError("Application.Selection: no document is open");
        if (selection_ == 0)
            selection_ = newObject(ObjectKind::Selection);
        return word::ObjectRef{selection_};
    }
    if (id == dispid::Quit && kind == CallKind::Method) {
        // SaveChanges, OriginalFormat, RouteDocument: Word ends without saving or prompting.
        arity(args, 0, 3, "Application.Quit");
        quit_ = true;
        return word::Omitted{};
    }
    unknownMember("Application", id, kind);
}

Value WordInstance::documents(int id, CallKind kind, const Args& args) {
    if (id == dispid::Add && kind == CallKind::Method) {
        // Template, NewTemplate, DocumentType, Visible: a blank document whatever they say.
        arity(args, 0, 4, "Documents.Add");
        const std::uint32_t docId = newObject(ObjectKind::Document);
        objects_[docId].document = docId;
        documents_.emplace(docId, DocumentState{});
        addOrder_.push_back(docId);
        return word::ObjectRef{docId};
    }
    unknownMember("Documents", id, kind);
}

Value WordInstance::document(std::uint32_t docId, int id, CallKind kind, const Args& args) {
    auto& doc = openDocument(docId);
    if (id == dispid::Content && kind == CallKind::Get) {
        arity(args, 0, 0, "Document.Content");
        if (doc.contentRange == 0)
            doc.contentRange = newObject(ObjectKind::Range, docId);
        return word::ObjectRef{doc.contentRange};
    }
    if (id == dispid::SaveAs && kind == CallKind::Method) {
        saveAs(doc, args, 11);
        return word::Omitted{};
    }
    if (id == dispid::SaveAs2 && kind == CallKind::Method) {
        saveAs(doc, args, 16);
        return word::Omitted{};
    }
    if (id == dispid::Save && kind == CallKind::Method) {
        arity(args, 0, 2, "Document.Save"); // NoPrompt, OriginalFormat
        if (!doc.savedPath)
            throw WordError("Document.Save: the document has not been saved yet (SaveAs names its file)");
        // As in Word, saving a document without changes since its last save writes nothing
        // (a large document is not written twice by SaveAs and Save).
        if (!doc.saved)
            write(doc, *doc.savedPath, doc.savedFormat);
        return word::Omitted{};
    }
    if (id == dispid::Saved && kind == CallKind::Put) {
        arity(args, 1, 1, "Document.Saved");
        doc.saved = flagArg(args, 0, "Document.Saved");
        return word::Omitted{};
    }
    if (id == dispid::Saved && kind == CallKind::Get) {
        arity(args, 0, 0, "Document.Saved");
        return doc.saved;
    }
    if (id == dispid::Close && kind == CallKind::Method) {
        // SaveChanges, OriginalFormat, RouteDocument: closes without saving.
        arity(args, 0, 3, "Document.Close");
        doc.open = false;
        doc.model = Document{};
        std::erase(addOrder_, docId);
        return word::Omitted{};
    }
    unknownMember("Document", id, kind);
}

void WordInstance::saveAs(DocumentState& doc, const Args& args, std::size_t maxArgs) {
    const std::string op = maxArgs == 11 ? "Document.SaveAs" : "Document.SaveAs2";
    arity(args, 1, maxArgs, op);
    const std::string& fileName = textArg(args, 0, op);
    if (fileName.empty())
        throw WordError(op + ": the file name is empty");
    // FileName, FileFormat, LockComments, Password, AddToRecentFiles, WritePassword,
    // ReadOnlyRecommended, EmbedTrueTypeFonts, SaveNativePictureFormat, SaveFormsData,
    // SaveAsAOCELetter, Encoding, InsertLineBreaks, AllowSubstitutions, LineEnding, AddBiDiMarks.
    for (size_t i = 1; i < args.size(); ++i) {
        const bool isPassword = i == 3 || i == 5;
        const bool ok = omitted(args[i]) || (isPassword ? std::holds_alternative<std::string>(args[i])
                                                        : std::holds_alternative<std::int16_t>(args[i]) ||
                                                              std::holds_alternative<bool>(args[i]));
        if (!ok)
            throw WordError(op + ": argument " + std::to_string(i + 1) + " has the wrong type");
    }
    Format format = Format::Doc; // Word's default format for a name it does not know
    if (args.size() > 1 && !omitted(args[1])) {
        const auto* n = std::get_if<std::int16_t>(&args[1]);
        const auto f = n ? formatFromNumber(*n) : std::nullopt;
        if (!f)
            throw WordError(op + ": unsupported file format" + (n ? " " + std::to_string(*n) : std::string()));
        format = *f;
    } else if (const auto f = formatFromExtension(fileName)) {
        format = *f;
    }
    write(doc, fileName, format);
    doc.savedPath = fileName;
    doc.savedFormat = format;
}

void WordInstance::write(DocumentState& doc, const std::filesystem::path& file, Format format) {
    try {
        writeDocument(doc.model, file, format);
    } catch (const std::exception& e) {
        throw WordError("cannot save \"" + file.string() + "\": " + oneLine(e.what()));
    }
    doc.saved = true;
}

Value WordInstance::range(std::uint32_t documentId, int id, CallKind kind, const Args& args) {
    auto& doc = openDocument(documentId);
    if (id == dispid::InsertAfter && kind == CallKind::Method) {
        arity(args, 1, 1, "Range.InsertAfter");
        doc.model.insertAfter(textArg(args, 0, "Range.InsertAfter"));
        doc.saved = false;
        return word::Omitted{};
    }
    if (id == dispid::InsertParagraphAfter && kind == CallKind::Method) {
        arity(args, 0, 0, "Range.InsertParagraphAfter");
        doc.model.insertParagraphAfter();
        doc.saved = false;
        return word::Omitted{};
    }
    unknownMember("Range", id, kind);
}

Value WordInstance::selection(int id, CallKind kind, const Args& args) {
    if (id == dispid::InsertFile && kind == CallKind::Method) {
        // FileName, then Range, ConfirmConversions, Link, Attachment (ignored).
        arity(args, 1, 5, "Selection.InsertFile");
        const std::string& fileName = textArg(args, 0, "Selection.InsertFile");
        const std::uint32_t active = activeDocument();
        if (active == 0)
            throw WordError("Selection.InsertFile: no document is open");
        auto& doc = openDocument(active);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(fileName, ec))
            throw WordError("cannot insert \"" + fileName + "\": " +
                            (std::filesystem::exists(fileName, ec) ? "not a plain file" : "the file does not exist"));
        Document inserted;
        try {
            inserted = readDocument(fileName);
        } catch (const std::exception& e) {
            throw WordError("cannot insert \"" + fileName + "\": " + oneLine(e.what()));
        }
        doc.model.insertDocument(inserted);
        doc.saved = false;
        return word::Omitted{};
    }
    unknownMember("Selection", id, kind);
}

} // namespace qm::docserver
