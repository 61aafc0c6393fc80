#include "engine/word_automation.h"

#include "engine/word_binding.h"
#include "platform/work_control.h"

#include <mutex>

namespace qm::word {
namespace {

std::mutex& factoryMutex() {
    static std::mutex m;
    return m;
}

ConnectionFactory& factorySlot() {
    static ConnectionFactory factory;
    return factory;
}

} // namespace

void setConnectionFactory(ConnectionFactory factory) {
    std::lock_guard lock(factoryMutex());
    factorySlot() = std::move(factory);
}

ConnectionFactory connectionFactory() {
    std::lock_guard lock(factoryMutex());
    if (factorySlot())
        return factorySlot();
    return [] { return connectOutOfProcess(); };
}

Value Object::call(int dispid, CallKind kind, const std::vector<Value>& args) const {
    if (empty())
        return kOmitted;
    passWorkGate();
    return connection_->invoke(id_, dispid, kind, args);
}

template <typename Handle> Handle Object::getObject(int dispid) const {
    if (empty())
        return Handle{};
    const Value v = call(dispid, CallKind::Get);
    if (const auto* ref = std::get_if<ObjectRef>(&v); ref && ref->id != 0)
        return Handle(connection_, ref->id);
    throw WordError("the server returned no object for dispatch id " + std::to_string(dispid));
}

void Range::InsertAfter(const std::string& text) { call(dispid::InsertAfter, CallKind::Method, {text}); }
void Range::InsertParagraphAfter() { call(dispid::InsertParagraphAfter, CallKind::Method); }
void Range::Flush() {
    if (!empty())
        connection_->flush();
}

void Selection::InsertFile(const std::string& fileName) {
    call(dispid::InsertFile, CallKind::Method, {fileName, kOmitted, kOmitted, kOmitted, kOmitted});
}

Range Document::Content() { return getObject<Range>(dispid::Content); }

void Document::SaveAs(const std::vector<Value>& args) {
    call(args.size() <= 11 ? dispid::SaveAs : dispid::SaveAs2, CallKind::Method, args);
}

void Document::Save() { call(dispid::Save, CallKind::Method); }
void Document::Saved(bool value) { call(dispid::Saved, CallKind::Put, {value}); }
void Document::Close() { call(dispid::Close, CallKind::Method, {kOmitted, kOmitted, kOmitted}); }

Document Documents::Add() {
    if (empty())
        return {};
    const Value v = call(dispid::Add, CallKind::Method, {kOmitted, kOmitted, kOmitted, kOmitted});
    if (const auto* ref = std::get_if<ObjectRef>(&v); ref && ref->id != 0)
        return Document(connection_, ref->id);
    throw WordError("the server made no document");
}

Application Application::create() {
    passWorkGate(); // no new server while paused, none after a stop
    auto factory = connectionFactory();
    auto connection = factory();
    if (!connection)
        throw WordError("no document server could be started");
    return Application(std::move(connection), kApplicationId);
}

void Application::Visible(bool value) { call(dispid::Visible, CallKind::Put, {value}); }

std::string Application::Version() {
    const Value v = call(dispid::Version, CallKind::Get);
    if (const auto* s = std::get_if<std::string>(&v))
        return *s;
    return {};
}

Documents Application::Documents() { return getObject<::qm::word::Documents>(dispid::Documents); }
Selection Application::Selection() { return getObject<::qm::word::Selection>(dispid::Selection); }

void Application::Quit() {
    call(dispid::Quit, CallKind::Method, {std::int16_t{0}, std::int16_t{0}, std::int16_t{0}});
}

namespace {
// Pads an argument list to the 11- or 16-argument form with omitted values.
std::vector<Value> padded(std::vector<Value> args, const std::string& version) {
    args.resize(version == "9.0" ? 11 : 16, kOmitted);
    return args;
}
} // namespace

std::vector<Value> fullWebProfile(const std::string& version, const std::string& fileName, std::int16_t format) {
    // FileName, FileFormat, LockComments, Password, AddToRecentFiles, WritePassword,
    // ReadOnlyRecommended, EmbedTrueTypeFonts, SaveNativePictureFormat, SaveFormsData,
    // SaveAsAOCELetter [, Encoding, InsertLineBreaks, AllowSubstitutions, LineEnding, AddBiDiMarks]
    const std::int16_t zero = 0, one = 1;
    std::vector<Value> args{fileName, format, zero, kOmitted, one, kOmitted, zero, zero, zero, kOmitted, kOmitted};
    args = padded(std::move(args), version);
    if (args.size() == 16)
        args[13] = one; // AllowSubstitutions
    return args;
}

std::vector<Value> plainWebProfile(const std::string& version, const std::string& fileName, std::int16_t format,
                                   bool addToRecentFiles) {
    std::vector<Value> args{fileName, format};
    if (addToRecentFiles)
        args.insert(args.end(), {kOmitted, kOmitted, std::int16_t{1}});
    return padded(std::move(args), version);
}

std::vector<Value> documentProfile(const std::string& version, const std::string& fileName) {
    return padded({fileName}, version);
}

std::int16_t webFormatFor(const std::string& version) { return version == "9.0" ? 8 : 9; }
std::string webExtensionFor(const std::string& version) { return version == "9.0" ? ".html" : ".mht"; }

} // namespace qm::word
