// The adapter of the saving flow to the real save engine.
#include "engine/save_engine.h"
#include "stages/engine_adapters.h"

namespace qm::stages {
namespace {

class RealSaveEngine : public SaveEngine {
public:
    int QuickRepairCopy(const std::filesystem::path& target) override { return qm::QuickRepairCopy(target); }
    int ExtractPicturesTo(const std::filesystem::path& candidateFolder) override {
        return qm::ExtractPicturesTo(candidateFolder);
    }
    int SaveFibText(const std::string& fileName, const std::filesystem::path& candidateFolder) override {
        return qm::SaveFibText(fileName, candidateFolder);
    }
    int SaveCombinedDoc(SaveVariant variant, int fibTextResult) override {
        return qm::SaveCombinedDoc(variant, fibTextResult);
    }
    int SaveAnchoredText(int method, const std::filesystem::path& candidateFolder, const std::string& fileName) override {
        if (method != 2 && method != 3)
            return 0;
        return qm::SaveAnchoredText(method == 2 ? doc::Anchor::Author : doc::Anchor::List, candidateFolder, fileName);
    }
    int SaveRawBlocks(const std::string& fileName, const std::filesystem::path& candidateFolder) override {
        return qm::SaveRawBlocks(fileName, candidateFolder);
    }
    int SaveDocxCandidate(const std::filesystem::path& candidateFolder) override {
        return qm::SaveDocxCandidate(candidateFolder);
    }
    std::string TakeWriteFailure() override { return qm::takeWriteFailure(); }
    bool HoldsContent(const std::filesystem::path& output) override { return qm::OutputHoldsContent(output); }
};

} // namespace

std::unique_ptr<SaveEngine> makeSaveEngine() { return std::make_unique<RealSaveEngine>(); }

} // namespace qm::stages
