// Applying one recipe to many photos without windows.
#pragma once

// `args` is "--apply RECIPE PHOTO..." or "--apply-from EDITED_.jpg PHOTO...". Saves each result
// beside its photo, reports each photo and a summary on stderr, and returns 0 when every photo
// was saved, 1 when one could not be read, 2 when one could not be saved or the recipe is bad.
int runBatch(int argc, char** args);
