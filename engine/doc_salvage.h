// Salvage of a damaged .doc file into previews (the analysis side of the .doc engine).
//
// SalvageDocFile() works on the session state: it reads currentSourcePath, advanceRepair and
// installFolder and leaves its candidates as files named in previewDocPath[1..4]; a candidate
// that could not be made is a missing file. The source file is only ever read.
#pragma once

#include "engine/doc_patterns.h"
#include "engine/doc_steps.h"

namespace qm {

// Quick Repair (advanceRepair = 0) or Advance Repair of currentSourcePath. Never throws: a
// failure inside one method ends that method only. Always returns 1.
int SalvageDocFile();

// The operations, each returning 1 when its candidate (or picture document) was made, else 0.
// A failing document-server call outside the steps each one guards raises.

// Preview 1 from a copy of the source whose container header is rewritten.
int QuickRepairDoc();
// Picture documents, one per picture record of the source, in pictureFolder.
int ExtractPictures();
int MakePictureDoc(Bytes record);
// Method 1: the text the document header locates, into salvagedTextDocPath.
int SalvageFibText();
// Methods 2 (author anchor, Preview 2) and 3 (list anchor, Preview 3).
int SalvageAnchoredText(doc::Anchor anchor);
// Method 4: the printable 512-byte blocks, Preview 4.
int SalvageRawBlocks();
// Preview 1 of Advance Repair: method 1's text and every picture document; then removes them.
int MakeCombinedPreview();

} // namespace qm
