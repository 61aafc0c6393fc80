// The engine entry points the flows call, behind small interfaces so that the flows can be
// driven with fakes. engine_ops.cpp binds them to the real engine.
#pragma once

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

// Which save of candidate 1 runs: Save Current Preview or Save All.
enum class CombinedVariant { CurrentFile, AllFiles };

class SaveEngine {
public:
    virtual ~SaveEngine() = default;
    virtual int QuickRepairCopy(const std::filesystem::path& target) = 0;
    virtual int ExtractPicturesTo(const std::filesystem::path& candidateFolder) = 0;
    virtual int SaveFibText(const std::string& fileName, const std::filesystem::path& candidateFolder) = 0;
    virtual int SaveCombinedDoc(CombinedVariant variant, int fibTextResult) = 0;
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
