// Method 1: the text located by the document header, and the tail copy.
#include "app/session_state.h"
#include "docserver/doc_format.h"
#include "engine/doc_salvage.h"
#include "engine/doc_text_loop.h"
#include "engine/engine_helpers.h"
#include "engine/word_automation.h"
#include "platform/files.h"
#include "platform/temp.h"

#include <algorithm>
#include <optional>

namespace qm {

namespace doc {

namespace {
constexpr std::uint64_t kSector = 512;
constexpr std::size_t kCountOffset = 76;       // main-text character count inside the header
constexpr std::uint64_t kNewDocCountOffset = 588; // the same count in a .doc the server wrote
constexpr std::uint64_t kNewDocHeader = 512;       // where that document's header starts
constexpr std::uint64_t kNewDocTextEndOffset = kNewDocHeader + 28; // its fcMac: end of its text
} // namespace

std::optional<FibText> findFibText(Bytes source) {
    FibText fib;
    if (const auto h = findDocumentHeader(source)) {
        fib.headerOffset = *h;
        const bool small = source[*h + 5] == 0x20;
        fib.textStart = small ? 1536 : 2560;
        fib.sectorCount = small ? 3 : 5;
        fib.count = bin::u24(source, *h + kCountOffset);
        return fib;
    }
    // A header the fixed pattern does not take (another language, a later or an earlier
    // format version, other product bytes) where a stream begins: a sector start. The text
    // starts where it says, when that lies inside the file.
    for (std::size_t at = kSector; at < source.size(); at += kSector) {
        if (!docserver::docfmt::fibSignatureAt(source, at))
            continue;
        const auto header = docserver::docfmt::parseFib(source.subspan(at));
        if (!header)
            continue;
        fib.headerOffset = at;
        const std::uint64_t fcMin = header->fcMin;
        fib.textStart = fcMin >= kSector && at + fcMin < source.size() ? at + fcMin : 2560;
        fib.sectorCount = fib.textStart <= 1536 ? 3 : 5;
        const std::int32_t ccp = header->ccp[docserver::docfmt::kMain];
        fib.count = ccp > 0 ? std::min<std::uint32_t>(static_cast<std::uint32_t>(ccp), 0xFFFFFF)
                            : bin::u24(source, at + kCountOffset);
        return fib;
    }
    return std::nullopt;
}

int tailCopy(Bytes source, const FibText& fib, const std::filesystem::path& newDocument) {
    const std::size_t first = findFirst(source, 512, pattern::kAllocationRun).value_or(512);
    const auto chainEnd = findFirst(source, first, pattern::kChainEnd);
    if (!chainEnd)
        return 1;
    // chainEnd >= 512, so the two bytes before it exist.
    const std::uint64_t w = bin::u16(source, *chainEnd - 4);
    const std::uint64_t u = ((fib.sectorCount * kSector + fib.count) / kSector + 1) * kSector;
    const std::int64_t length = static_cast<std::int64_t>((w + 2) * kSector) - static_cast<std::int64_t>(u);
    if (length <= 0)
        return 1; // nothing to copy: the text already written stands
    // Only the first block of the copied run is written; past the end of the source there is
    // less or nothing to copy.
    const Bytes block = bin::slice(source, u, std::min<std::uint64_t>(static_cast<std::uint64_t>(length), kSector));

    std::uint64_t m = 0;
    std::uint64_t textEnd = 0; // file offset where the new document's own text ends, when known
    {
        const auto written = SourceView::open(newDocument);
        if (!written)
            return 0;
        // A document too short to hold its count has nothing to place the block after.
        if (written->size() < kNewDocCountOffset + 4)
            return 1;
        m = bin::u24(written->bytes(), kNewDocCountOffset);
        if (m > written->size())
            return 1;
        if (bin::u16(written->bytes(), kNewDocHeader) == 0xA5EC)
            textEnd = kNewDocHeader + bin::u32(written->bytes(), kNewDocTextEndOffset);
    }
    const std::uint64_t target = ((fib.sectorCount * kSector + m) / kSector + 1) * kSector;
    // The place comes from the character count alone; text stored two bytes a character ends
    // well past it, and the block would overwrite the document's own text.
    if (target < textEnd)
        return 1;
    if (!block.empty() && !writeAt(newDocument, target, block))
        return 0;
    return 1;
}

} // namespace doc

int SalvageFibText() {
    auto& s = session();
    s.nextPictureNumber = 1;
    if (!files::isFile(s.currentSourcePath))
        return 0;

    auto app = word::Application::create();
    app.Visible(false);
    auto docs = app.Documents();
    auto document = docs.Add();
    auto range = document.Content();
    const std::string version = app.Version();

    const auto view = doc::SourceView::open(s.currentSourcePath);
    const auto fib = view ? doc::findFibText(view->bytes()) : std::nullopt;
    if (!fib) {
        RunStopvane(); // Word is not asked to quit
        return 0;
    }

    s.salvagedTextDocPath = temp::makeFile(".doc");
    doc::insertFibText(view->bytes(), *fib, doc::ChunkKeep::AllButLast, range);

    document.SaveAs(word::documentProfile(version, s.salvagedTextDocPath.string()));
    document.Save();
    document.Saved(true);
    document.Close();
    range.release();
    document.release();
    docs.release();
    app.release(); // no Quit: the companion tool ends the server
    RunStopvane();

    return doc::tailCopy(view->bytes(), *fib, s.salvagedTextDocPath);
}

} // namespace qm
