// A recording stand-in for the document server, for the .doc salvage tests: every Word
// instance the engine starts is one FakeWordInstance; chosen calls can be made to fail.
// SaveAs writes a small text file holding what the document received, so a test can read
// a preview back: inserted text as is, a paragraph mark as "\n", an inserted file as
// "[file:<its bytes>]".
#pragma once

#include "engine/word_automation.h"
#include "tests/support/test_support.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qm::doctest {

using word::CallKind;
using word::Value;

struct FakeCall {
    std::uint32_t object;
    int dispid;
    CallKind kind;
    std::vector<Value> args;
};

struct FakeWordServer;

class FakeWordInstance : public word::Connection {
public:
    FakeWordInstance(FakeWordServer& server, int index) : server_(server), index_(index) {}
    Value invoke(std::uint32_t object, int dispid, CallKind kind, const std::vector<Value>& args) override;

    std::vector<FakeCall> calls;
    std::string content; // what the new document received
    int index() const { return index_; }
    // Application.Quit calls (Document.Close shares its dispatch id).
    std::size_t quits() const {
        std::size_t n = 0;
        for (const auto& c : calls)
            n += c.object == word::kApplicationId && c.dispid == word::dispid::Quit;
        return n;
    }
    // Calls with this dispatch id and kind, in order.
    std::vector<FakeCall> callsOf(int dispid, CallKind kind) const {
        std::vector<FakeCall> out;
        for (const auto& c : calls)
            if (c.dispid == dispid && c.kind == kind)
                out.push_back(c);
        return out;
    }

private:
    FakeWordServer& server_;
    int index_;
};

// Object ids the fake hands out.
inline constexpr std::uint32_t kDocumentsId = 2, kSelectionId = 3, kDocumentId = 4, kRangeId = 5;

struct FakeWordServer {
    std::string version = "12.0";
    // Return true to make that call of that instance raise.
    std::function<bool(const FakeWordInstance&, const FakeCall&)> failWhen;
    std::vector<std::shared_ptr<FakeWordInstance>> instances;

    // Installs this server as the connection factory.
    void install() {
        word::setConnectionFactory([this] {
            auto inst = std::make_shared<FakeWordInstance>(*this, static_cast<int>(instances.size()));
            instances.push_back(inst);
            return inst;
        });
    }
    ~FakeWordServer() { word::setConnectionFactory(nullptr); }
};

inline std::string argText(const Value& v) {
    if (const auto* s = std::get_if<std::string>(&v))
        return *s;
    return {};
}

inline Value FakeWordInstance::invoke(std::uint32_t object, int dispid, CallKind kind, const std::vector<Value>& args) {
    calls.push_back({object, dispid, kind, args});
    if (server_.failWhen && server_.failWhen(*this, calls.back()))
        throw word::WordError("fake failure of dispatch id " + std::to_string(dispid));
    namespace d = word::dispid;
    if (object == word::kApplicationId) {
        if (dispid == d::Version)
            return server_.version;
        if (dispid == d::Documents)
            return word::ObjectRef{kDocumentsId};
        if (dispid == d::Selection)
            return word::ObjectRef{kSelectionId};
        return word::kOmitted;
    }
    if (object == kDocumentsId && dispid == d::Add)
        return word::ObjectRef{kDocumentId};
    if (object == kDocumentId) {
        if (dispid == d::Content)
            return word::ObjectRef{kRangeId};
        if (dispid == d::SaveAs || dispid == d::SaveAs2)
            test::writeText(argText(args.at(0)), content);
        return word::kOmitted;
    }
    if (object == kSelectionId && dispid == d::InsertFile) {
        const fs::path file = argText(args.at(0));
        if (!fs::is_regular_file(file))
            throw word::WordError("cannot open " + file.string());
        content += "[file:" + test::readText(file) + "]";
    }
    if (object == kRangeId) {
        if (dispid == d::InsertAfter)
            content += argText(args.at(0));
        if (dispid == d::InsertParagraphAfter)
            content += "\n";
    }
    return word::kOmitted;
}

} // namespace qm::doctest
