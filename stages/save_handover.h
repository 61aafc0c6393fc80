// Step 3 as the preview window sees it: the two save commands hand over to the saving stage
// through this interface. The saving dialog implements it; tests fake it.
//
// Before each call the preview window has picked the destination with the folder chooser,
// checked that it is an existing folder, and set the session fields the saving stage reads:
//   saveCurrent(): saveCurrentOnly = true, currentSaveFolder = the folder; the file is
//                  previewFileNumber (1-based), the candidate selectedPreview (1..4).
//   saveAll():     saveCurrentOnly = false, saveAllFolder = the folder; every file of
//                  sourceFiles, every candidate.
// Both are called on the user-interface thread and run the saving stage modally; the stage
// works from the source files and never reads the preview files.
#pragma once

namespace qm::stages {

class SaveHandOver {
public:
    virtual ~SaveHandOver() = default;

    // Save Current Preview. The preview window stays shown and its previews stay on disk;
    // returns when the saving stage has closed, and the preview stage goes on.
    virtual void saveCurrent() = 0;

    // Save All. The previews are already deleted and the preview window is hidden. The stage
    // ends the run with the completion dialog, which ends the process; returning means the
    // run did not end there, and the preview window shows itself again.
    virtual void saveAll() = 0;
};

} // namespace qm::stages
