// The picture documents of a .doc source for candidate 1, made in the candidate folder.
#include "app/session_state.h"
#include "engine/save_detail.h"
#include "engine/save_engine.h"
#include "platform/files.h"
#include "platform/temp.h"

namespace qm {

int MakeSavePictureDoc(Bytes record, const std::filesystem::path& candidateFolder) {
    auto& s = session();
    try {
        // A folder of its own per file saved, made atomically: never one another run (or a link
        // put there) may be using.
        if (!s.savePictureFolderUsed || s.savePictureFolder.empty())
            s.savePictureFolder = temp::makeFolder("Picture", candidateFolder);
        s.savePictureFolderUsed = true;
        if (s.savePictureFolder.empty())
            return 0;
        const auto path = s.savePictureFolder / ("Picture" + std::to_string(s.saveNextPictureNumber) + ".Doc");
        // Listed before anything can fail, so that the clean-up also looks for a document never made.
        s.savePictureDocs.push_back(path);
        ++s.saveNextPictureNumber;
        return doc::writePictureDoc(path, record);
    } catch (...) {
        return 0;
    }
}

int ExtractPicturesTo(const std::filesystem::path& candidateFolder) {
    auto& s = session();
    // A new file's pictures: anything left from a candidate that never reached its clean-up
    // goes first, and the numbers start at 1.
    save::removePictureDocs();
    s.saveNextPictureNumber = 1;
    try {
        const auto view = doc::SourceView::open(s.saveSourcePath);
        if (!view || !doc::pictureGate(view->bytes()))
            return 0;
        return doc::pictureRecords(view->bytes(),
                                [&](Bytes record) { return MakeSavePictureDoc(record, candidateFolder); });
    } catch (...) {
        // The documents made so far stay listed; the combined document's clean-up removes them.
        return 0;
    }
}

} // namespace qm
