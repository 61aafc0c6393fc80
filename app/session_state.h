// The one process-wide record of a repair session: folders, the source list, the repair mode,
// the per-file preview slots, stage flags, worker handles and the hand-over to saving.
//
// Hand-over between threads follows the record's rule: a field is written before the worker
// that reads it starts, and a worker's results are read after it signalled its end. The flags
// that signal across threads are atomic so that rule holds under the C++ memory model too.
#pragma once

#include <array>
#include <atomic>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qm {

using Path = std::filesystem::path;
using WorkerHandle = std::shared_ptr<std::jthread>;

class CPreview;      // preview dialog (GUI)
class CMainDialog;   // main dialog (GUI)
class CFileSave;     // saving-stage dialog (GUI)

struct SessionState {
    // A. Identity and folders (set once at start-up, read-only afterwards).
    std::string appTitle = "Tessary for Word";
    std::string registryKey = "TYDOC";
    Path installFolder; // "FilePath"; empty when missing
    Path skinFolder;    // data root + "/Tessary for Word"

    // B. Source selection (main dialog).
    std::list<std::string> sourceFiles; // full paths in row order; file number = 1-based position
    int fileCount = 0;
    bool advanceRepair = true;
    bool quickRepairForced = false;
    bool skipPreview = false;
    int nextRowIndex = 0;
    int rowCountAfterRemove = 0;
    bool rowsRenumbered = false;

    // C. Per-file analysis (analysis stage and engines).
    Path currentSourcePath;
    bool inputIsDocx = false;
    std::array<Path, 5> previewDocPath;  // [1..4]; [0] unused
    std::array<Path, 3> previewDocxPath; // [1..2]; [0] unused
    Path docxPreviewFolder;
    Path docxWorkFolder;
    WorkerHandle analysisThread;
    std::atomic<bool> analysisFinished{false};
    std::atomic<bool> analysisThreadEnded{false};
    std::atomic<bool> analysisStopped{false};
    std::atomic<bool> paused{false};
    bool pausedFromButton = false;
    std::atomic<int> progressPos{0};

    // D. Preview stage and hand-over to saving.
    CPreview* previewDialog = nullptr;
    int previewFileNumber = 1; // the preview dialog's current file number (1-based)
    bool previewReady = false;
    bool showCompletedNotice = false;
    int selectedPreview = 0; // 0 until a preview is shown in the run: Save Current Preview does nothing
    std::array<WorkerHandle, 5> previewThread; // [1..4]
    bool saveCurrentOnly = false;
    Path currentSaveFolder;
    Path saveAllFolder;
    int saveOption = 0;
    CMainDialog* mainDialog = nullptr;
    CFileSave* fileSaveDialog = nullptr;

    // E. Working state of the .doc engine.
    Path pictureFolder;
    bool pictureFolderUsed = false;
    Path salvagedTextDocPath;
    int pictureDocCount = 0;
    int nextPictureNumber = 1;

    // E. The ZIP reader: number of entries found by the last scan.
    int zipEntryCount = 0;
    // What the ZIP reader cut or repaired in each source package (limits, damaged data), by
    // source path; each note once, for the command line's report.
    std::map<std::string, std::vector<std::string>> zipNotes;

    // E. Working state of the save engine.
    Path saveSourcePath;
    std::string saveFileName;
    Path saveTargetPath;
    Path saveTextDocPath;
    Path savePictureFolder;
    bool savePictureFolderUsed = false;
    std::list<Path> savePictureDocs; // picture documents of the current file, in the order made
    int saveNextPictureNumber = 1;
    std::vector<Path> saveMediaCopies; // the media copies the last .docx candidate wrote

    // E. Saving stage.
    WorkerHandle saveThread;
    std::atomic<bool> savePaused{false};
    std::atomic<int> saveProgressPos{0};
    int overwriteAnswer = 0;
    std::atomic<bool> savePausedFromButton{false};
    int filesSavedCount = 0;

    // Reads group A: "FilePath" from the registry store, the skin folder from the data root
    // ($QUILLMEND_WINDIR, else the installation prefix's share folder).
    void loadIdentity();

    // The preview clean-up run before every analysis, on Back and on exit: deletes
    // previewDocPath[2], [3], [4] (skipping empty slots and missing files), [1],
    // previewDocxPath[1], [2]; removes docxPreviewFolder when empty; removes docxWorkFolder
    // with everything in it. The path strings are left as they are.
    void clearPreviewFiles();

    // The path in node n (0-based) of sourceFiles, or "" when the list is shorter.
    std::string sourceFileAt(int n) const;
};

// The process-wide instance.
SessionState& session();

} // namespace qm
