// Applying one recipe to many photos without windows.
#pragma once

#include <string>
#include <vector>

// The batch's command line.
struct BatchOptions {
  std::string recipeOption;  // "--apply" or "--apply-from"
  std::string recipeArgument;
  std::vector<std::string> photos;
  std::string filesFrom;  // a file of paths, "-" for standard input
  bool nulSeparated = false;
  std::string outputDir;  // empty: each result beside its photo
  bool skipDone = false;
  bool jsonLog = false;
  int jobs = 0;  // photos at a time; 0: one for each core
};

// Whether `arg` is one of the batch's options, which start the batch wherever they stand.
bool isBatchOption(const std::string& arg);

// Reads the batch's arguments: options anywhere (each with its value as the next argument or
// after "="), photos, and "--" before photos whose names start with "-". On failure returns false
// and says why in `error`.
bool parseBatchArguments(int argc, char** args, BatchOptions& options, std::string& error);

// Runs the batch of `args` ("--apply RECIPE PHOTO...", "--apply-from EDITED_.jpg PHOTO...", with
// the options anywhere). Saves each result beside its photo or under the output folder, reports
// each photo and a summary on stderr (and each photo as a JSON line on stdout with --log jsonl),
// and returns 0 when every photo was saved or already done, 1 when one could not be read, 2 when
// one could not be saved, the recipe is bad or the command line is not understood.
int runBatch(int argc, char** args);
