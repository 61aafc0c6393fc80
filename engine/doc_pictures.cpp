// Picture extraction: the gate, the picture-record scan and the picture documents.
#include "app/session_state.h"
#include "engine/doc_salvage.h"
#include "engine/doc_salvage_detail.h"
#include "platform/files.h"
#include "platform/temp.h"
#include "platform/work_control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {

namespace doc {

bool pictureGate(Bytes source) {
    const std::size_t start = findFirst(source, 512, pattern::kAllocationRun).value_or(512);
    return findFirst(source, start, pattern::kChainEnd).has_value();
}

int pictureScan(Bytes source, const PictureSink& makeDoc) {
    int result = 0;
    std::size_t offset = 0;
    while (offset + 2 <= source.size()) {
        passWorkGate();
        const auto m = findFirst(source, offset, pattern::kPictureRecord);
        if (!m)
            break;
        // The record starts with its 4-byte size, 4 bytes before the signature; a match too
        // near the start of the file has no size and is passed over.
        if (*m < 4) {
            offset = *m + 1;
            continue;
        }
        const std::uint64_t start = *m - 4;
        const std::uint64_t size = bin::u32(source, start);
        if (start + size >= source.size())
            break; // the record runs past the end of the file; earlier pictures stay
        if (size == 0) {
            // A record of no bytes holds no picture and would never move the scan on.
            offset = *m + 1;
            continue;
        }
        result = makeDoc(bin::slice(source, start, size));
        offset = static_cast<std::size_t>(*m + size);
    }
    return result;
}

int pictureRecords(Bytes source, const PictureSink& makeDoc) {
    std::vector<ByteRange> taken;
    int result = pictureScan(source, [&](Bytes record) {
        const auto from = static_cast<std::size_t>(record.data() - source.data());
        taken.push_back({from, from + record.size()});
        return makeDoc(record);
    });
    for (const auto& record : blipPictureRecords(source, taken))
        result = makeDoc(record);
    return result;
}

std::filesystem::path pictureTemplatePath() {
    std::string folder = session().installFolder.string();
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder + "TempPicture.Doc";
}

int writePictureDoc(const std::filesystem::path& target, Bytes record) {
    if (files::exists(target))
        files::makeWritable(target);
    const auto templ = pictureTemplatePath();
    if (!files::isFile(templ))
        return 0;
    files::copyFile(templ, target);
    if (!files::isFile(target))
        return 0;
    files::makeWritable(target);
    const auto size = files::fileSize(target);
    if (!size || *size == 0)
        return 0;
    return writeAt(target, kPictureRecordOffset, record) ? 1 : 0;
}

} // namespace doc

int MakePictureDoc(Bytes record) {
    auto& s = session();
    s.pictureFolderUsed = true;
    // One folder of its own per analysis, made atomically, so that runs sharing the temporary
    // folder never write into (or clean up) each other's picture documents.
    if (s.pictureFolder.empty())
        s.pictureFolder = temp::makeFolder("Picture");
    if (s.pictureFolder.empty())
        return 0;
    const auto path = s.pictureFolder / ("Picture" + std::to_string(s.nextPictureNumber) + ".Doc");
    s.pictureDocCount = s.nextPictureNumber;
    ++s.nextPictureNumber;
    return doc::writePictureDoc(path, record);
}

int ExtractPictures() {
    auto& s = session();
    doc::removePictureFolder(); // whatever an earlier file left behind
    s.pictureDocCount = 0; // no picture document made for this file yet
    const auto view = doc::SourceView::open(s.currentSourcePath);
    if (!view || !doc::pictureGate(view->bytes()))
        return 0;
    return doc::pictureRecords(view->bytes(), [](Bytes record) { return MakePictureDoc(record); });
}

} // namespace qm
