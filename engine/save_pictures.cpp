// The picture documents of a .doc source for candidate 1, made in the candidate folder.
#include "app/session_state.h"
#include "engine/save_detail.h"
#include "engine/save_engine.h"
#include "platform/files.h"

namespace qm {

int MakeSavePictureDoc(doc::Bytes record, const std::filesystem::path& candidateFolder) {
    auto& s = session();
    s.savePictureFolderUsed = true;
    try {
        s.savePictureFolder = candidateFolder / "Picture";
        if (!files::isFolder(s.savePictureFolder))
            files::createFolders(s.savePictureFolder);
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
                                [&](doc::Bytes record) { return MakeSavePictureDoc(record, candidateFolder); });
    } catch (...) {
        // The documents made so far stay listed; the combined document's clean-up removes them.
        return 0;
    }
}

} // namespace qm
