// Fakes for driving the stage flows: a UI that records what it is shown and answers from a
// script, and engines that record their calls and write the output file a real one would.
#pragma once

#include "app/session_state.h"
#include "stages/engine_adapters.h"
#include "stages/stage_ui.h"

#include "tests/support/test_support.h"

#include <deque>
#include <fstream>
#include <string>
#include <vector>

namespace qm::test {

struct FakeUi : stages::StageUi {
    std::vector<std::pair<stages::Field, std::string>> texts;
    std::vector<int> progress;
    std::vector<std::string> questions;
    std::deque<bool> yesNoAnswers;
    std::deque<stages::OverwriteAnswer> overwriteAnswers;
    int overwriteAsked = 0;
    std::vector<std::string> notices;
    std::vector<std::string> written, kept, failures;

    void showText(stages::Field f, const std::string& t) override { texts.emplace_back(f, t); }
    void setOverallProgress(int p) override { progress.push_back(p); }
    void setBusy(bool) override {}
    bool askYesNo(const std::string& q) override {
        questions.push_back(q);
        if (yesNoAnswers.empty())
            return false;
        const bool a = yesNoAnswers.front();
        yesNoAnswers.pop_front();
        return a;
    }
    stages::OverwriteAnswer askOverwrite(const fs::path&) override {
        ++overwriteAsked;
        if (overwriteAnswers.empty())
            return stages::kNoAnswer;
        const auto a = overwriteAnswers.front();
        overwriteAnswers.pop_front();
        return a;
    }
    void notice(const std::string& t) override { notices.push_back(t); }
    void candidateDone(int, int, const fs::path& out, bool w) override {
        if (w)
            written.push_back(out.string());
    }
    void candidateKept(int, int, const fs::path& out) override { kept.push_back(out.string()); }
    void failed(int, const std::string&, const std::string& what) override { failures.push_back(what); }

    std::vector<std::string> textsOf(stages::Field f) const {
        std::vector<std::string> out;
        for (const auto& [field, t] : texts)
            if (field == f)
                out.push_back(t);
        return out;
    }
};

struct FakeSaveEngine : stages::SaveEngine {
    std::vector<std::string> calls;
    std::function<void(const std::string&)> onCall; // lets a test act in the middle of a flow

    void note(const std::string& c) {
        calls.push_back(c);
        if (onCall)
            onCall(c);
    }
    static void touch(const fs::path& p, const std::string& content) {
        std::ofstream(p, std::ios::binary) << content;
    }
    int QuickRepairCopy(const fs::path& t) override {
        note("QuickRepairCopy " + t.string());
        touch(t, "quick");
        return 1;
    }
    int ExtractPicturesTo(const fs::path& f) override {
        note("ExtractPicturesTo " + f.filename().string());
        return 1;
    }
    int SaveFibText(const std::string& n, const fs::path& f) override {
        note("SaveFibText " + n + " " + f.filename().string());
        return 1;
    }
    int SaveCombinedDoc(SaveVariant v, int r) override {
        note(std::string("SaveCombinedDoc ") + (v == SaveVariant::AllFiles ? "all " : "current ") +
             std::to_string(r));
        touch(session().saveTargetPath, "c1-new");
        return 1;
    }
    int SaveAnchoredText(int m, const fs::path& f, const std::string& n) override {
        note("SaveAnchoredText " + std::to_string(m) + " " + f.filename().string() + " " + n);
        touch(f / n, "anchored-new");
        return 1;
    }
    int SaveRawBlocks(const std::string& n, const fs::path& f) override {
        note("SaveRawBlocks " + n + " " + f.filename().string());
        touch(f / n, "raw-new");
        return 1;
    }
    int SaveDocxCandidate(const fs::path& f) override {
        note("SaveDocxCandidate " + f.filename().string());
        touch(session().saveTargetPath, "docx-new");
        return 1;
    }
};

struct FakeAnalysisEngine : stages::AnalysisEngine {
    std::vector<std::string> calls;
    bool throwInDoc = false;
    void SalvageDocFile() override {
        calls.push_back("doc " + session().currentSourcePath.string());
        if (throwInDoc)
            throw std::runtime_error("server died");
    }
    void SalvageDocxFile() override { calls.push_back("docx " + session().currentSourcePath.string()); }
};

} // namespace qm::test
