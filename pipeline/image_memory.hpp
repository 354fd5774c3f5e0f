// Where the samples of large images live. A photo-sized buffer that is mapped afresh for every
// stage run faults its pages in one by one, and on some machines (virtual ones above all) that
// costs more than a cheap stage itself: a 48-megapixel buffer takes 36,000 faults. Asking for
// transparent huge pages makes that 70 faults.
#pragma once

#include <cstddef>

// From now on, every cv::Mat of at least kHugePageBytes that the library allocates itself is
// mapped on its own, aligned to and advised for huge pages, and unmapped when it goes (up to
// 64 MB of window-sized ones wait for the next image of their size instead); smaller ones and
// those on memory given by the caller are left to the library. Call it once, before any thread
// allocates images.
void useHugePagesForLargeImages();

// Gives the window-sized mappings waiting for the next image, and the free memory of the heap where
// small images live, back to the system: a session calls it when it rests, so that at rest it
// holds only the memory of what it shows.
void releaseKeptImageMemory();

constexpr std::size_t kHugePageBytes = std::size_t(2) << 20;
