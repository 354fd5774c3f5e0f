// Desktop glue: the file dialogs, message boxes and a quiet console.
#pragma once

#include <string>

// Silences OpenCV's logging and Qt's own messages, so the console stays empty on the normal path.
void silenceConsole();

// The open dialog's first entry: "Image Formats (...)" with a pattern for every extension the
// tool reads, each matching in any letter case (phones write IMG_0001.HEIC).
std::string imageFormatsFilter();

// Asks the user for an image file. Returns the chosen path, or an empty string on cancel.
std::string chooseImageFile();

// A folder the result can be written to: the input's folder if it is writable, else the user's
// Pictures folder, else home.
std::string writableFolderFor(const std::string& inputPath);

// Asks the user where to save the result instead of `failedPath`, after a failed save: the dialog
// opens in writableFolderFor(inputPath) with the file name of `failedPath`. Empty on cancel.
std::string chooseSavePath(const std::string& failedPath, const std::string& inputPath);

// What the user answered when asked whether to restore an unsaved edit; kNone when the question
// was closed without an answer (by an ending signal).
enum class RestoreAnswer { kRestore, kDiscard, kNone };
// Asks `question` with the buttons Restore (the default, so Return accepts) and Discard.
RestoreAnswer askRestore(const std::string& question);

// Shows an error message box and writes the same message as one line on stderr.
void showError(const std::string& title, const std::string& message);
