// The adapter of the analysis flow to the real .doc and .docx salvage engines.
#include "engine/doc_salvage.h"
#include "engine/docx_salvage.h"
#include "stages/engine_adapters.h"

namespace qm::stages {
namespace {

class RealAnalysisEngine : public AnalysisEngine {
public:
    void SalvageDocFile() override { qm::SalvageDocFile(); }
    void SalvageDocxFile() override { qm::SalvageDocxFile(); }
};

} // namespace

std::unique_ptr<AnalysisEngine> makeAnalysisEngine() { return std::make_unique<RealAnalysisEngine>(); }

} // namespace qm::stages
