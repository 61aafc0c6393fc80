// The engine entry points the flows call, behind small interfaces so that the flows can be
// driven with fakes. The adapters in analysis_engine_adapter.cpp and save_engine_adapter.cpp
// bind them to the real engine.
#pragma once

#include "engine/save_engine.h"

#include <filesystem>
#include <memory>
#include <string>

namespace qm::stages {

class AnalysisEngine {
public:
    virtual ~AnalysisEngine() = default;
    virtual void SalvageDocFile() = 0;  // reads session().currentSourcePath, fills previewDocPath
    virtual void SalvageDocxFile() = 0; // fills previewDocxPath
};

class SaveEngine {
public:
    virtual ~SaveEngine() = default;
    virtual int QuickRepairCopy(const std::filesystem::path& target) = 0;
    virtual int ExtractPicturesTo(const std::filesystem::path& candidateFolder) = 0;
    virtual int SaveFibText(const std::string& fileName, const std::filesystem::path& candidateFolder) = 0;
    virtual int SaveCombinedDoc(SaveVariant variant, int fibTextResult) = 0;
    // method 2 (author anchor) or 3 (list anchor)
    virtual int SaveAnchoredText(int method, const std::filesystem::path& candidateFolder, const std::string& fileName) = 0;
    virtual int SaveRawBlocks(const std::string& fileName, const std::filesystem::path& candidateFolder) = 0;
    virtual int SaveDocxCandidate(const std::filesystem::path& candidateFolder) = 0;
    // Why the last output could not be written, or empty; reading it clears it.
    virtual std::string TakeWriteFailure() { return {}; }
    // False when a written output holds neither text nor picture.
    virtual bool HoldsContent(const std::filesystem::path&) { return true; }
};

std::unique_ptr<AnalysisEngine> makeAnalysisEngine();
std::unique_ptr<SaveEngine> makeSaveEngine();

} // namespace qm::stages
